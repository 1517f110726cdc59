#pragma once
// Our own declarations of the D2XX library's types, constants, structures and function
// signatures (Linux x86_64 sizes: DWORD and ULONG are 4 bytes, handles are pointers).
#include <cstddef>
#include <cstdint>

namespace d2xx {

using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using WORD = std::uint16_t;
using UCHAR = std::uint8_t;
using BOOL = std::int32_t; // 4 bytes either way; non-zero is success
using FT_HANDLE = void*;
using FT_STATUS = ULONG;
using FT_DEVICE = ULONG;

enum : FT_STATUS {
    FT_OK = 0, FT_INVALID_HANDLE = 1, FT_DEVICE_NOT_FOUND = 2, FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4, FT_INSUFFICIENT_RESOURCES = 5, FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7, FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9, FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11, FT_EEPROM_WRITE_FAILED = 12, FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14, FT_EEPROM_NOT_PROGRAMMED = 15, FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17, FT_OTHER_ERROR = 18, FT_DEVICE_LIST_NOT_READY = 19,
};

enum : FT_DEVICE { FT_DEVICE_BM = 0, FT_DEVICE_AM = 1, FT_DEVICE_232R = 5, FT_DEVICE_X_SERIES = 9 };

enum : DWORD {
    FT_OPEN_BY_SERIAL_NUMBER = 1, FT_OPEN_BY_DESCRIPTION = 2, FT_OPEN_BY_LOCATION = 4,
    FT_LIST_NUMBER_ONLY = 0x80000000u, FT_LIST_BY_INDEX = 0x40000000u, FT_LIST_ALL = 0x20000000u,
    FT_PURGE_RX = 1, FT_PURGE_TX = 2,
};

enum : DWORD {
    PURGE_TXABORT = 0x1, PURGE_RXABORT = 0x2, PURGE_TXCLEAR = 0x4, PURGE_RXCLEAR = 0x8,
    SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6, RESETDEV = 7,
    SETBREAK = 8, CLRBREAK = 9,
    GENERIC_READ = 0x80000000u, GENERIC_WRITE = 0x40000000u, OPEN_EXISTING = 3,
    FILE_ATTRIBUTE_NORMAL = 0x80,
    DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, RTS_CONTROL_DISABLE = 0,
    RTS_CONTROL_ENABLE = 1, NOPARITY = 0, ONESTOPBIT = 0,
};

// FT_W32_CreateFile's failure: all ones as a pointer. Linux builds also return the 32-bit all
// ones, and a null handle is never valid either (see IsValidHandle).
// NOLINTNEXTLINE(performance-no-int-to-ptr): the value is the ABI's, never dereferenced.
inline FT_HANDLE InvalidHandle() { return reinterpret_cast<FT_HANDLE>(~std::uintptr_t{0}); }
inline bool IsValidHandle(FT_HANDLE h)
{
    auto v = reinterpret_cast<std::uintptr_t>(h);
    return v != 0 && v != ~std::uintptr_t{0} && v != 0xFFFFFFFFu;
}

struct FTDCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    UCHAR ByteSize;
    UCHAR Parity;
    UCHAR StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};

struct FTTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct FTCOMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};

struct FT_EEPROM_HEADER {
    FT_DEVICE deviceType;
    WORD VendorId;
    WORD ProductId;
    UCHAR SerNumEnable;
    WORD MaxPower;
    UCHAR SelfPowered;
    UCHAR RemoteWakeup;
    UCHAR PullDownEnable;
};

struct FT_EEPROM_232B {
    FT_EEPROM_HEADER common;
};

struct FT_EEPROM_X_SERIES {
    FT_EEPROM_HEADER common;
    UCHAR ACSlowSlew, ACSchmittInput, ACDriveCurrent;
    UCHAR ADSlowSlew, ADSchmittInput, ADDriveCurrent;
    UCHAR Cbus0, Cbus1, Cbus2, Cbus3, Cbus4, Cbus5, Cbus6;
    UCHAR InvertTXD, InvertRXD, InvertRTS, InvertCTS, InvertDTR, InvertDSR, InvertDCD, InvertRI;
    UCHAR BCDEnable, BCDForceCbusPWREN, BCDDisableSleep;
    WORD I2CSlaveAddress;
    DWORD I2CDeviceId;
    UCHAR I2CDisableSchmitt;
    UCHAR FT1248Cpol, FT1248Lsb, FT1248FlowControl;
    UCHAR RS485EchoSuppress;
    UCHAR PowerSaveEnable;
    UCHAR DriverType;
};

// FTDI's exchange record for USB settings (only its version-0 fields matter to this program,
// but the layout is the whole published one).
struct FT_PROGRAM_DATA {
    DWORD Signature1;
    DWORD Signature2;
    DWORD Version;
    WORD VendorId;
    WORD ProductId;
    char* Manufacturer;
    char* ManufacturerId;
    char* Description;
    char* SerialNumber;
    WORD MaxPower;
    WORD PnP;
    WORD SelfPowered;
    WORD RemoteWakeup;
    UCHAR Rev4, IsoIn, IsoOut, PullDownEnable, SerNumEnable, USBVersionEnable;
    WORD USBVersion;
    UCHAR Rev5, IsoInA, IsoInB, IsoOutA, IsoOutB, PullDownEnable5, SerNumEnable5,
        USBVersionEnable5;
    WORD USBVersion5;
    UCHAR AIsHighCurrent, BIsHighCurrent, IFAIsFifo, IFAIsFifoTar, IFAIsFastSer, AIsVCP,
        IFBIsFifo, IFBIsFifoTar, IFBIsFastSer, BIsVCP;
    UCHAR UseExtOsc, HighDriveIOs, EndpointSize, PullDownEnableR, SerNumEnableR, InvertTXD,
        InvertRXD, InvertRTS, InvertCTS, InvertDTR, InvertDSR, InvertDCD, InvertRI, Cbus0, Cbus1,
        Cbus2, Cbus3, Cbus4, RIsD2XX;
    UCHAR PullDownEnable7, SerNumEnable7, ALSlowSlew, ALSchmittInput, ALDriveCurrent,
        AHSlowSlew, AHSchmittInput, AHDriveCurrent, BLSlowSlew, BLSchmittInput, BLDriveCurrent,
        BHSlowSlew, BHSchmittInput, BHDriveCurrent, IFAIsFifo7, IFAIsFifoTar7, IFAIsFastSer7,
        AIsVCP7, IFBIsFifo7, IFBIsFifoTar7, IFBIsFastSer7, BIsVCP7, PowerSaveEnable;
    UCHAR PullDownEnable8, SerNumEnable8, ASlowSlew, ASchmittInput, ADriveCurrent, BSlowSlew,
        BSchmittInput, BDriveCurrent, CSlowSlew, CSchmittInput, CDriveCurrent, DSlowSlew,
        DSchmittInput, DDriveCurrent, ARIIsTXDEN, BRIIsTXDEN, CRIIsTXDEN, DRIIsTXDEN, AIsVCP8,
        BIsVCP8, CIsVCP8, DIsVCP8;
    UCHAR PullDownEnableH, SerNumEnableH, ACSlowSlewH, ACSchmittInputH, ACDriveCurrentH,
        ADSlowSlewH, ADSchmittInputH, ADDriveCurrentH, Cbus0H, Cbus1H, Cbus2H, Cbus3H, Cbus4H,
        Cbus5H, Cbus6H, Cbus7H, Cbus8H, Cbus9H, IsFifoH, IsFifoTarH, IsFastSerH, IsFT1248H,
        FT1248CpolH, FT1248LsbH, FT1248FlowControlH, IsVCPH, PowerSaveEnableH;
};

static_assert(sizeof(FTDCB) == 28);
static_assert(offsetof(FTDCB, wReserved) == 12 && offsetof(FTDCB, ByteSize) == 18 &&
              offsetof(FTDCB, wReserved1) == 26);
static_assert(sizeof(FTTIMEOUTS) == 20);
static_assert(sizeof(FTCOMSTAT) == 12);
static_assert(sizeof(FT_EEPROM_HEADER) == 16);
static_assert(offsetof(FT_EEPROM_HEADER, MaxPower) == 10 &&
              offsetof(FT_EEPROM_HEADER, SelfPowered) == 12 &&
              offsetof(FT_EEPROM_HEADER, PullDownEnable) == 14);
static_assert(sizeof(FT_EEPROM_232B) == 16);
static_assert(sizeof(FT_EEPROM_X_SERIES) == 56);
static_assert(offsetof(FT_EEPROM_X_SERIES, Cbus0) == 22);
static_assert(offsetof(FT_EEPROM_X_SERIES, I2CSlaveAddress) == 40 &&
              offsetof(FT_EEPROM_X_SERIES, I2CDeviceId) == 44 &&
              offsetof(FT_EEPROM_X_SERIES, DriverType) == 54);
static_assert(sizeof(void*) != 8 || sizeof(FT_PROGRAM_DATA) == 176);
static_assert(sizeof(void*) != 8 || (offsetof(FT_PROGRAM_DATA, MaxPower) == 48 &&
                                     offsetof(FT_PROGRAM_DATA, USBVersion) == 62 &&
                                     offsetof(FT_PROGRAM_DATA, Cbus0) == 97));

// Why the last open failed, from our own providers' extra entry Kestrune_OpenFailure (FTDI's
// library has none).
enum OpenFailure : DWORD { kOpenFailureUnknown = 0, kOpenFailureBusy = 1, kOpenFailureAccessDenied = 2 };

// Function signatures, as the provider exports them (plain C names, default calling convention).
extern "C" {
using PFN_FT_Open = FT_STATUS (*)(int, FT_HANDLE*);
using PFN_FT_ListDevices = FT_STATUS (*)(void*, void*, DWORD);
using PFN_FT_GetQueueStatus = FT_STATUS (*)(FT_HANDLE, DWORD*);
using PFN_FT_Handle = FT_STATUS (*)(FT_HANDLE); // ClrDtr, SetDtr, StopInTask, RestartInTask, EraseEE
using PFN_FT_Purge = FT_STATUS (*)(FT_HANDLE, ULONG);
using PFN_FT_EE_Program = FT_STATUS (*)(FT_HANDLE, FT_PROGRAM_DATA*); // also FT_EE_Read
using PFN_FT_EEPROM_Read = FT_STATUS (*)(FT_HANDLE, void*, DWORD, char*, char*, char*, char*); // also Program
using PFN_FT_EE_UARead = FT_STATUS (*)(FT_HANDLE, UCHAR*, DWORD, DWORD*);
using PFN_FT_EE_UASize = FT_STATUS (*)(FT_HANDLE, DWORD*);
using PFN_FT_EE_UAWrite = FT_STATUS (*)(FT_HANDLE, UCHAR*, DWORD);
using PFN_FT_ReadEE = FT_STATUS (*)(FT_HANDLE, DWORD, WORD*);
using PFN_FT_WriteEE = FT_STATUS (*)(FT_HANDLE, DWORD, WORD);
using PFN_FT_GetDeviceInfo = FT_STATUS (*)(FT_HANDLE, FT_DEVICE*, DWORD*, char*, char*, void*);
using PFN_FT_GetDeviceInfoDetail = FT_STATUS (*)(DWORD, DWORD*, DWORD*, DWORD*, DWORD*, void*,
                                                 void*, FT_HANDLE*);
using PFN_FT_GetDriverVersion = FT_STATUS (*)(FT_HANDLE, DWORD*);
using PFN_FT_GetLibraryVersion = FT_STATUS (*)(DWORD*);
using PFN_FT_Rescan = FT_STATUS (*)();
using PFN_FT_Reload = FT_STATUS (*)(WORD, WORD);
using PFN_FT_SetLatencyTimer = FT_STATUS (*)(FT_HANDLE, UCHAR);
using PFN_FT_GetLatencyTimer = FT_STATUS (*)(FT_HANDLE, UCHAR*);
// Event character, its enable, error character, its enable.
using PFN_FT_SetChars = FT_STATUS (*)(FT_HANDLE, UCHAR, UCHAR, UCHAR, UCHAR);
using PFN_FT_W32_CreateFile = FT_HANDLE (*)(const char*, DWORD, DWORD, void*, DWORD, DWORD, void*);
using PFN_FT_W32_Handle = BOOL (*)(FT_HANDLE); // CloseHandle, ClearCommBreak, SetCommBreak
using PFN_FT_W32_ReadFile = BOOL (*)(FT_HANDLE, void*, DWORD, DWORD*, void*);
using PFN_FT_W32_WriteFile = BOOL (*)(FT_HANDLE, void*, DWORD, DWORD*, void*);
using PFN_FT_W32_GetOverlappedResult = BOOL (*)(FT_HANDLE, void*, DWORD*, BOOL);
using PFN_FT_W32_ClearCommError = BOOL (*)(FT_HANDLE, DWORD*, FTCOMSTAT*);
using PFN_FT_W32_EscapeCommFunction = BOOL (*)(FT_HANDLE, DWORD);
using PFN_FT_W32_GetCommModemStatus = BOOL (*)(FT_HANDLE, DWORD*);
using PFN_FT_W32_CommState = BOOL (*)(FT_HANDLE, FTDCB*); // Get and Set
using PFN_FT_W32_CommTimeouts = BOOL (*)(FT_HANDLE, FTTIMEOUTS*); // Get and Set
using PFN_FT_W32_PurgeComm = BOOL (*)(FT_HANDLE, DWORD);
using PFN_FT_W32_SetCommMask = BOOL (*)(FT_HANDLE, ULONG);
using PFN_FT_W32_SetupComm = BOOL (*)(FT_HANDLE, DWORD, DWORD);
using PFN_FT_W32_WaitCommEvent = BOOL (*)(FT_HANDLE, ULONG*, void*);
using PFN_Kestrune_OpenFailure = DWORD (*)(void);
// Our providers' USB port path ("1-2.3") of a listed converter, NUL-terminated.
using PFN_Kestrune_PortPath = FT_STATUS (*)(DWORD index, char* path, DWORD size);
}

} // namespace d2xx

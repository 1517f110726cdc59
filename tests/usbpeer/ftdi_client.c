/* A client of Debian's libftdi1, run against the simulated bus: what a program that nobody
 * here wrote sees of the converter. Prints one "key value" line per finding.
 *   ftdi_client identify VID PID     115200 baud, identify request, the reply
 *   ftdi_client eeprom VID PID       the whole EEPROM, decoded by libftdi1
 *   ftdi_client words VID PID        128 raw word reads
 *   ftdi_client bootloader VID PID   DTR pulse, then the boot loader's wake-up answer
 *   ftdi_client async VID PID        the identify exchange by submitted transfers
 *   ftdi_client open VID PID         only the open: its return code
 */
#include <ftdi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static double Now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

static int Identify(struct ftdi_context* ftdi)
{
    static const unsigned char request[] = {0x02, 'B', 'P', 'P', 0x03};
    unsigned char reply[64];
    int got = 0;
    if (ftdi_set_baudrate(ftdi, 115200) < 0 ||
        ftdi_set_line_property(ftdi, BITS_8, STOP_BIT_1, NONE) < 0 ||
        ftdi_tcioflush(ftdi) < 0) {
        printf("error %s\n", ftdi_get_error_string(ftdi));
        return 1;
    }
    const double start = Now();
    if (ftdi_write_data(ftdi, request, sizeof request) != (int)sizeof request) {
        struct ftdi_device_list* list = NULL;
        printf("error write %s\n", ftdi_get_error_string(ftdi));
        /* A converter that is gone has left the bus. */
        printf("listed %d\n", ftdi_usb_find_all(ftdi, &list, 0x0403, 0xf209));
        ftdi_list_free(&list);
        return 1;
    }
    while (got < 10 && Now() - start < 2000) {
        const int n = ftdi_read_data(ftdi, reply + got, (int)sizeof reply - got);
        if (n < 0) {
            printf("error read %d\n", n);
            return 1;
        }
        got += n;
    }
    printf("ms %.3f\nreply", Now() - start);
    for (int i = 0; i < got; ++i)
        printf(" %02x", reply[i]);
    printf("\n");
    return got >= 10 ? 0 : 1;
}

static int Async(struct ftdi_context* ftdi)
{
    static unsigned char request[] = {0x02, 'B', 'P', 'P', 0x03};
    unsigned char reply[10];
    if (ftdi_set_baudrate(ftdi, 115200) < 0)
        return 1;
    struct ftdi_transfer_control* out = ftdi_write_data_submit(ftdi, request, sizeof request);
    if (!out || ftdi_transfer_data_done(out) != (int)sizeof request) {
        printf("error write\n");
        return 1;
    }
    struct ftdi_transfer_control* in = ftdi_read_data_submit(ftdi, reply, sizeof reply);
    const int got = in ? ftdi_transfer_data_done(in) : -1;
    printf("reply");
    for (int i = 0; i < got; ++i)
        printf(" %02x", reply[i]);
    printf("\n");
    return got == (int)sizeof reply ? 0 : 1;
}

static int BootLoader(struct ftdi_context* ftdi)
{
    unsigned char answer[16];
    int got = 0;
    if (ftdi_set_baudrate(ftdi, 115200) < 0 || ftdi_setdtr(ftdi, 0) < 0)
        return 1;
    usleep(100000);
    if (ftdi_setdtr(ftdi, 1) < 0 || ftdi_write_data(ftdi, (unsigned char*)"\r\n", 2) != 2)
        return 1;
    const double start = Now();
    while (got < 1 && Now() - start < 2000) {
        const int n = ftdi_read_data(ftdi, answer + got, 1);
        if (n < 0)
            return 1;
        got += n;
    }
    printf("answer");
    for (int i = 0; i < got; ++i)
        printf(" %02x", answer[i]);
    printf("\n");
    return got ? 0 : 1;
}

static int Eeprom(struct ftdi_context* ftdi)
{
    char m[128] = "", p[128] = "", s[128] = "";
    int v = 0;
    if (ftdi_read_eeprom(ftdi) < 0) {
        printf("error %s\n", ftdi_get_error_string(ftdi));
        return 1;
    }
    printf("decode %d\n", ftdi_eeprom_decode(ftdi, 0));
    static const struct { enum ftdi_eeprom_value key; const char* name; } keys[] = {
        {VENDOR_ID, "vid"}, {PRODUCT_ID, "pid"}, {MAX_POWER, "max_power"},
        {SELF_POWERED, "self_powered"}, {REMOTE_WAKEUP, "remote_wakeup"},
        {USE_SERIAL, "use_serial"}, {CHIP_SIZE, "size"}};
    for (size_t i = 0; i < sizeof keys / sizeof keys[0]; ++i)
        if (ftdi_get_eeprom_value(ftdi, keys[i].key, &v) == 0)
            printf("%s %d\n", keys[i].name, v);
    /* An empty string leaves libftdi's pointer unset; ask only for what the image has. */
    if (ftdi_eeprom_get_strings(ftdi, m, sizeof m, p, sizeof p, s, sizeof s) == 0)
        printf("manufacturer %s\nproduct %s\nserial %s\n", m, p, s);
    printf("type %d\n", ftdi->type);
    return 0;
}

static int Words(struct ftdi_context* ftdi)
{
    printf("words");
    for (int i = 0; i < 128; ++i) {
        unsigned short w = 0;
        if (ftdi_read_eeprom_location(ftdi, i, &w) < 0) {
            printf("\nerror %s\n", ftdi_get_error_string(ftdi));
            return 1;
        }
        printf(" %04x", w);
    }
    printf("\n");
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: ftdi_client identify|eeprom|words|async|bootloader|open VID PID\n");
        return 2;
    }
    struct ftdi_context* ftdi = ftdi_new();
    if (!ftdi)
        return 2;
    const int vid = (int)strtol(argv[2], NULL, 0), pid = (int)strtol(argv[3], NULL, 0);
    const int rc = ftdi_usb_open(ftdi, vid, pid);
    printf("open %d\n", rc);
    int result = rc < 0;
    if (rc == 0) {
        if (strcmp(argv[1], "identify") == 0)
            result = Identify(ftdi);
        else if (strcmp(argv[1], "eeprom") == 0)
            result = Eeprom(ftdi);
        else if (strcmp(argv[1], "async") == 0)
            result = Async(ftdi);
        else if (strcmp(argv[1], "bootloader") == 0)
            result = BootLoader(ftdi);
        else if (strcmp(argv[1], "words") == 0)
            result = Words(ftdi);
        ftdi_usb_close(ftdi);
    }
    ftdi_free(ftdi);
    fflush(stdout);
    return result;
}

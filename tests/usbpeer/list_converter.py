# python3-usb lists the converters of the simulated bus: descriptors and strings, one line each.
import usb.core
import usb.util

for dev in usb.core.find(find_all=True, idVendor=0x0403):
    cfg = dev.get_active_configuration()
    intf = cfg[(0, 0)]
    eps = ",".join("%02x/%d" % (e.bEndpointAddress, e.wMaxPacketSize) for e in intf)
    serial = usb.util.get_string(dev, dev.iSerialNumber) if dev.iSerialNumber else ""
    print("device %04x:%04x bcd=%04x manufacturer=%s product=%s serial=%s "
          "attributes=%02x power=%d class=%02x endpoints=%s" % (
              dev.idVendor, dev.idProduct, dev.bcdDevice,
              usb.util.get_string(dev, dev.iManufacturer),
              usb.util.get_string(dev, dev.iProduct), serial,
              cfg.bmAttributes, cfg.bMaxPower, intf.bInterfaceClass, eps))

# Sourced by the guest's init and its checks.
# Serial numbers of the FTDI chips on the bus.
chips() {
  for d in /sys/bus/usb/devices/*; do
    [ "$(cat "$d/idVendor" 2>/dev/null)" = 0403 ] && cat "$d/serial"
  done
  return 0
}
# Until the chip with the serial number $1 (a glob) is the only one; false after 30 s.
await_chip() {
  for i in $(seq 1 300); do
    case "$(chips | tr '\n' ' ')" in $1' ') return 0 ;; esac
    sleep 0.1
  done
  return 1
}

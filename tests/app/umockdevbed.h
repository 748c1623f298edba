#pragma once
// A umockdev test bed with the serial devices the port list must tell apart,
// built as the kernel and udev show them: a USB serial adapter (usb-serial
// port below the USB interface), a CDC-ACM modem (tty right below the
// interface), 8250 UARTs with or without the serial-base "port" and "ctrl"
// devices of newer kernels, and the console. Plugging and pulling send the
// uevent that udev would send once it has applied its rules.

// GLib's headers use "signals" as a name, which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <umockdev.h>
#pragma pop_macro("signals")

#include <string>
#include <utility>
#include <vector>

struct UsbAdapter {
  std::string Tty = "ttyUSB0";
  std::string Driver = "ftdi_sio";  // of the usb-serial port; empty: a CDC-ACM device (driver cdc_acm)
  std::string VendorId = "0403", ProductId = "6001";
  std::string DbVendor, DbModel;           // the hardware database's names; empty when it does not know the adapter
  std::string Manufacturer, Product;       // what the adapter calls itself
  std::string Serial;                      // empty: none
  std::string ById;                        // the by-id link udev made; empty: none
};

class UdevTestBed {
 public:
  UdevTestBed() : bed_(umockdev_testbed_new()) {}
  ~UdevTestBed() { g_object_unref(bed_); }
  UdevTestBed(const UdevTestBed&) = delete;
  UdevTestBed& operator=(const UdevTestBed&) = delete;

  // True only when /sys and /dev are the test bed's: without the preload
  // library a test would list this machine's ports.
  static bool Active() { return umockdev_in_mock_environment(); }

  std::string Root() const { return Owned(umockdev_testbed_get_root_dir(bed_)); }

  // Each Add returns the tty's device path. A pseudo-terminal stands behind
  // every tty's /dev node; MasterFd gives its other end.
  std::string AddUsb(const UsbAdapter& a);

  // A UART of the 8250 driver; `serialBase`: with the "ctrl" and "port"
  // devices newer kernels put between the UART and its tty.
  std::string Add8250(const std::string& tty, int type, bool serialBase = false);

  // A tty without a driver behind it (a virtual console such as tty0).
  std::string AddVirtualTerminal(const std::string& tty);

  // The consoles' ttys, as the kernel lists them ("tty0 ttyS0").
  void SetConsole(const std::string& active);

  // What udev says once an adapter is in, or once it is gone: the device is
  // taken out of sysfs (and /dev) before its "remove" arrives, as the kernel does.
  void Plug(const std::string& ttyPath);
  void Pull(const std::string& ttyPath);

  int MasterFd(const std::string& node) { return umockdev_testbed_get_dev_fd(bed_, node.c_str()); }

  // The USB device above a tty made by AddUsb: what is pulled with it.
  static std::string UsbDeviceOf(const std::string& ttyPath);

 private:
  static std::string Owned(gchar* text);
  std::string AddTty(const std::string& parent, const std::string& tty, const std::string& dev,
                     const std::vector<std::pair<std::string, std::string>>& properties,
                     const std::vector<std::pair<std::string, std::string>>& attributes);
  UMockdevTestbed* bed_;
  int next_ = 1;
  bool platform8250_ = false;
};

#include "tests/app/umockdevbed.h"

#include <vector>

namespace {

// Name/value pairs with the empty values left out, NULL-terminated for umockdev.
class Pairs {
 public:
  Pairs& Add(const std::string& name, const std::string& value) {
    if (!value.empty()) {
      texts_.push_back(name);
      texts_.push_back(value);
    }
    return *this;
  }
  gchar** Get() {
    pointers_.clear();
    for (std::string& text : texts_) pointers_.push_back(text.data());
    pointers_.push_back(nullptr);
    return pointers_.data();
  }

 private:
  std::vector<std::string> texts_;
  std::vector<gchar*> pointers_;
};

}  // namespace

std::string UdevTestBed::Owned(gchar* text) {
  std::string owned = text ? text : "";
  g_free(text);
  return owned;
}

std::string UdevTestBed::AddUsb(const UsbAdapter& a) {
  const std::string name = "1-" + std::to_string(next_++);
  Pairs usbAttributes, usbProperties;
  usbAttributes.Add("idVendor", a.VendorId).Add("idProduct", a.ProductId).Add("manufacturer", a.Manufacturer);
  usbAttributes.Add("product", a.Product).Add("serial", a.Serial);
  usbProperties.Add("DEVTYPE", "usb_device");
  const std::string usb =
      Owned(umockdev_testbed_add_devicev(bed_, "usb", name.c_str(), nullptr, usbAttributes.Get(), usbProperties.Get()));

  Pairs interfaceAttributes, interfaceProperties;
  interfaceAttributes.Add("bInterfaceNumber", "00");
  interfaceProperties.Add("DEVTYPE", "usb_interface");
  const std::string interface = Owned(umockdev_testbed_add_devicev(bed_, "usb", (name + ":1.0").c_str(), usb.c_str(),
                                                                   interfaceAttributes.Get(), interfaceProperties.Get()));
  const std::string driver = a.Driver.empty() ? "cdc_acm" : a.Driver;
  umockdev_testbed_set_attribute_link(bed_, interface.c_str(), "driver", ("../../../bus/usb/drivers/" + driver).c_str());

  // A usb-serial driver makes a port device of its own, named as the tty;
  // cdc_acm puts the tty right below the interface.
  std::string parent = interface;
  if (!a.Driver.empty()) {
    Pairs none, portProperties;
    portProperties.Add("DRIVER", a.Driver);
    parent = Owned(umockdev_testbed_add_devicev(bed_, "usb-serial", a.Tty.c_str(), interface.c_str(), none.Get(),
                                                portProperties.Get()));
    umockdev_testbed_set_attribute_link(bed_, parent.c_str(), "driver",
                                        ("../../../../bus/usb-serial/drivers/" + a.Driver).c_str());
  }

  return AddTty(parent, a.Tty, a.Driver.empty() ? "166:0" : "188:0",
                {{"ID_VENDOR_FROM_DATABASE", a.DbVendor}, {"ID_MODEL_FROM_DATABASE", a.DbModel}, {"DEVLINKS", a.ById}},
                {});
}

// In umockdev's record format, the one way to get a node in the test bed's
// /dev: a pseudo-terminal stands behind it, so that even an open by mistake
// reaches no real device.
std::string UdevTestBed::AddTty(const std::string& parent, const std::string& tty, const std::string& dev,
                                const std::vector<std::pair<std::string, std::string>>& properties,
                                const std::vector<std::pair<std::string, std::string>>& attributes) {
  const std::string path = parent + "/tty/" + tty;
  std::string record = "P: " + path.substr(4) + "\nN: " + tty + "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + tty + "\n";
  for (const auto& [name, value] : properties)
    if (!value.empty()) record += "E: " + name + "=" + value + "\n";
  record += "A: dev=" + dev + "\n";
  for (const auto& [name, value] : attributes) record += "A: " + name + "=" + value + "\n";
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(bed_, record.c_str(), &error)) {
    g_printerr("umockdev: %s\n", error ? error->message : "?");
    g_clear_error(&error);
    return {};
  }
  return path;
}

std::string UdevTestBed::Add8250(const std::string& tty, int type, bool serialBase) {
  if (!platform8250_) {
    Pairs none;
    platform8250_ = true;
    g_free(umockdev_testbed_add_devicev(bed_, "platform", "serial8250", nullptr, none.Get(), none.Get()));
    umockdev_testbed_set_attribute_link(bed_, "/sys/devices/serial8250", "driver",
                                        "../../bus/platform/drivers/serial8250");
  }
  std::string parent = "/sys/devices/serial8250";
  if (serialBase) {
    Pairs none;
    const std::string index = tty.substr(4);
    parent = Owned(umockdev_testbed_add_devicev(bed_, "serial-base", ("serial8250:" + index).c_str(), parent.c_str(),
                                                none.Get(), none.Get()));
    umockdev_testbed_set_attribute_link(bed_, parent.c_str(), "driver", "../../../bus/serial-base/drivers/ctrl");
    parent = Owned(umockdev_testbed_add_devicev(bed_, "serial-base", ("serial8250:" + index + ".0").c_str(),
                                                parent.c_str(), none.Get(), none.Get()));
    umockdev_testbed_set_attribute_link(bed_, parent.c_str(), "driver", "../../../../bus/serial-base/drivers/port");
  }
  return AddTty(parent, tty, "4:64", {}, {{"type", std::to_string(type)}});
}

std::string UdevTestBed::AddVirtualTerminal(const std::string& tty) {
  return AddTty("/sys/devices/virtual", tty, "4:0", {}, {});
}

void UdevTestBed::SetConsole(const std::string& active) {
  Pairs attributes, none;
  attributes.Add("active", active);
  g_free(umockdev_testbed_add_devicev(bed_, "tty", "virtual/tty/console", nullptr, attributes.Get(), none.Get()));
}

void UdevTestBed::Plug(const std::string& syspath) { umockdev_testbed_uevent(bed_, syspath.c_str(), "add"); }

void UdevTestBed::Pull(const std::string& ttyPath) {
  umockdev_testbed_uevent(bed_, ttyPath.c_str(), "remove");
  umockdev_testbed_remove_device(bed_, UsbDeviceOf(ttyPath).c_str());
}

std::string UdevTestBed::UsbDeviceOf(const std::string& ttyPath) {
  // /sys/devices/1-N/...: the USB device is the first level.
  const size_t start = std::string("/sys/devices/").size();
  return ttyPath.substr(0, ttyPath.find('/', start));
}

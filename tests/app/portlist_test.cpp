// The port list against umockdev's fake devices: which ttys are ports, what
// the list says each one is, and the port dialog following adapters that are
// plugged in and pulled while it is shown. The executable runs under
// umockdev's preload library (tests/support/umockdevrestart.cpp), so udev
// sees the test bed and never this machine.

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "app/comportselect.h"
#include "tests/app/faketree.h"
#include "tests/app/umockdevbed.h"
#include "tests/support/eventwait.h"

namespace {

UsbAdapter Ftdi() {
  UsbAdapter a;
  a.DbVendor = "Future Technology Devices International, Ltd";
  a.DbModel = "FT232 Serial (UART) IC";
  a.Manufacturer = "FTDI";
  a.Product = "FT232R USB UART";
  a.Serial = "A50285BI";
  a.ById =
      "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 "
      "/dev/serial/by-path/pci-0:14.0-usb-0:2:1.0-port0";
  return a;
}

UsbAdapter Acm() {
  UsbAdapter a;
  a.Tty = "ttyACM0";
  a.Driver.clear();
  a.VendorId = "2341";
  a.ProductId = "0043";
  a.DbVendor = "Arduino SA";
  a.DbModel = "Uno R3 (CDC ACM)";
  a.Serial = "8573531303235171E0A1";
  a.ById = "/dev/serial/by-id/usb-Arduino__www.arduino.cc__0043_8573531303235171E0A1-if00";
  return a;
}

// Counts the opens of files while it lives, through inotify. A test bed's node
// is a link to a pseudo-terminal, so the watch is on what it leads to.
class OpenWatch {
 public:
  explicit OpenWatch(const std::vector<std::string>& files) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    for (const std::string& file : files) EXPECT_GE(inotify_add_watch(fd_, file.c_str(), IN_OPEN), 0) << file;
  }
  ~OpenWatch() {
    if (fd_ >= 0) close(fd_);
  }
  std::vector<std::string> Opened() const {
    std::vector<std::string> names;
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = read(fd_, buffer, sizeof buffer)) > 0)
      for (char* p = buffer; p < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        names.push_back(event->len ? event->name : "(a watched node)");
        p += sizeof(inotify_event) + event->len;
      }
    return names;
  }

 private:
  int fd_ = -1;
};

class PortList : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(UdevTestBed::Active())
        << "not under umockdev's preload library: this machine's ports would be listed";
    roots.VirtualFolder = tree.PortsFolder();
  }
  std::vector<PortInfo> List() {
    std::vector<PortInfo> list;
    EnumSerialPorts(list, roots);
    return list;
  }
  static std::vector<std::string> Paths(const std::vector<PortInfo>& list) {
    std::vector<std::string> paths;
    for (const PortInfo& port : list) paths.push_back(port.Path);
    return paths;
  }

  UdevTestBed bed;
  FakePortTree tree;
  PortEnumRoots roots;
};

}  // namespace

TEST_F(PortList, RealPortsComeByNameWithWhatEachIsAndAnnouncedPortsFollow) {
  bed.AddUsb(Ftdi());
  bed.AddUsb(Acm());
  bed.Add8250("ttyS3", 4);
  bed.AddVirtualTerminal("tty1");
  const std::string announced = tree.AddVirtual("vellamo-devsim-1");

  const std::vector<PortInfo> list = List();
  ASSERT_EQ(Paths(list), (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyS3", "/dev/ttyUSB0", announced}));
  EXPECT_EQ(list[0].Type, PortInfo::Kind::Usb);
  EXPECT_EQ(list[0].Description, "Arduino SA Uno R3 (CDC ACM)");
  EXPECT_EQ(list[0].Serial, "8573531303235171E0A1");
  EXPECT_EQ(list[0].ById, "/dev/serial/by-id/usb-Arduino__www.arduino.cc__0043_8573531303235171E0A1-if00");
  EXPECT_EQ(list[1].Type, PortInfo::Kind::OnBoard);
  EXPECT_EQ(list[1].Description, "serial8250");
  EXPECT_EQ(list[1].Serial, "");
  EXPECT_EQ(list[1].ById, "");
  EXPECT_EQ(list[2].Description, "Future Technology Devices International, Ltd FT232 Serial (UART) IC");
  EXPECT_EQ(list[2].Serial, "A50285BI");
  EXPECT_EQ(list[2].ById, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  EXPECT_EQ(list[3].Type, PortInfo::Kind::Virtual);
  EXPECT_EQ(list[3].Description, tree.Root() + "/dev/pts-vellamo-devsim-1");
}

TEST_F(PortList, TheConsoleAndEmptyUartPlaceholdersAreLeftOutWithoutOpeningAnything) {
  bed.SetConsole("tty0 ttyS0");
  bed.AddVirtualTerminal("tty0");
  bed.Add8250("ttyS0", 4, /*serialBase=*/true);
  bed.Add8250("ttyS1", 0, /*serialBase=*/true);
  bed.Add8250("ttyS2", 4, /*serialBase=*/true);
  bed.Add8250("ttyS4", 0);
  bed.Add8250("ttyS5", 4);
  // The nodes are the test bed's, so that an open would be seen and would
  // reach no real device.
  std::vector<std::string> nodes;
  for (const char* node : {"ttyS0", "ttyS1", "ttyS2", "ttyS4", "ttyS5"})
    nodes.push_back(bed.Root() + "/dev/" + node);
  OpenWatch opens(nodes);
  const std::vector<PortInfo> list = List();
  EXPECT_EQ(Paths(list), (std::vector<std::string>{"/dev/ttyS2", "/dev/ttyS5"}));
  // Past the serial core's own devices to the UART's driver.
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Description, "serial8250");
  EXPECT_EQ(opens.Opened(), std::vector<std::string>{});
}

TEST_F(PortList, AnAdapterTheDatabaseDoesNotKnowIsNamedAsItNamesItselfAndAByIdNameTooLongToOpenIsNotOffered) {
  UsbAdapter a = Ftdi();
  a.DbVendor.clear();
  a.DbModel.clear();
  a.Serial.clear();
  a.ById = "/dev/serial/by-id/usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0";
  bed.AddUsb(a);
  const std::vector<PortInfo> list = List();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Description, "FTDI FT232R USB UART");
  EXPECT_EQ(list[0].Serial, "");
  EXPECT_EQ(list[0].ById, "");
}

namespace {

class PortDialog : public PortList {
 protected:
  void SetUp() override {
    PortList::SetUp();
    dialog.ListPorts = [this](std::vector<PortInfo>& list) { EnumSerialPorts(list, roots); };
  }
  void TearDown() override { dialog.hide(); }

  QStringList Items() const {
    QStringList items;
    for (int i = 0; i < dialog.ComboBox1->count(); ++i) items << dialog.ComboBox1->itemText(i);
    return items;
  }
  QString TipOf(const QString& item) const {
    return dialog.ComboBox1->itemData(dialog.ComboBox1->findText(item), Qt::ToolTipRole).toString();
  }
  bool WaitForItems(const QStringList& items) {
    return ProcessUntil([&] { return Items() == items; }, kFaultMs);
  }

  TForm2 dialog;
};

}  // namespace

TEST_F(PortDialog, TheLineUnderTheFieldAndEachTipSayWhatThePortIsAndTheByIdNameGoesInTheField) {
  bed.AddUsb(Ftdi());
  bed.Add8250("ttyS5", 4);
  dialog.show();
  ASSERT_EQ(Items(), (QStringList{"/dev/ttyS5", "/dev/ttyUSB0"}));

  const QString ftdi =
      "Future Technology Devices International, Ltd FT232 Serial (UART) IC\n"
      "Seriennummer: A50285BI\n"
      "by-id: usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  dialog.ComboBox1->setCurrentIndex(1);
  EXPECT_EQ(dialog.Label4->text(), ftdi);
  EXPECT_EQ(TipOf("/dev/ttyUSB0"), ftdi);
  EXPECT_EQ(TipOf("/dev/ttyS5"), "Eingebauter Port (Treiber serial8250)");

  ASSERT_TRUE(dialog.BitBtn2->isEnabled());
  dialog.BitBtn2->click();
  EXPECT_EQ(dialog.ComboBox1->currentText(),
            "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  EXPECT_EQ(dialog.Label4->text(), ftdi);  // the stable name still says which adapter it is
  EXPECT_FALSE(dialog.BitBtn2->isEnabled());

  dialog.ComboBox1->setCurrentIndex(0);
  EXPECT_EQ(dialog.Label4->text(), "Eingebauter Port (Treiber serial8250)");
  EXPECT_FALSE(dialog.BitBtn2->isEnabled());  // an on-board port has no by-id name
  dialog.ComboBox1->setEditText("/dev/ttyUSB7");
  EXPECT_EQ(dialog.Label4->text(), "");
}

TEST_F(PortDialog, WhileShownPluggedAdaptersComeAndPulledOnesGoAndTheFieldKeepsItsText) {
  bed.Add8250("ttyS5", 4);
  dialog.show();
  dialog.ComboBox1->setCurrentIndex(0);
  dialog.ComboBox1->setEditText("/dev/ttyS5x");  // the user is typing

  const std::string ftdi = bed.AddUsb(Ftdi());
  bed.Plug(ftdi);
  ASSERT_TRUE(WaitForItems({"/dev/ttyS5", "/dev/ttyUSB0"}));
  EXPECT_EQ(dialog.ComboBox1->currentText(), "/dev/ttyS5x");

  dialog.ComboBox1->setCurrentIndex(1);
  const std::string acm = bed.AddUsb(Acm());
  bed.Plug(acm);
  ASSERT_TRUE(WaitForItems({"/dev/ttyACM0", "/dev/ttyS5", "/dev/ttyUSB0"}));
  EXPECT_EQ(dialog.ComboBox1->currentIndex(), 2);
  EXPECT_TRUE(dialog.Label4->text().startsWith("Future Technology Devices"));
  EXPECT_EQ(TipOf("/dev/ttyACM0"),
            "Arduino SA Uno R3 (CDC ACM)\nSeriennummer: 8573531303235171E0A1\n"
            "by-id: usb-Arduino__www.arduino.cc__0043_8573531303235171E0A1-if00");

  // The chosen adapter pulled: its name stays in the field for its return.
  bed.Pull(ftdi);
  ASSERT_TRUE(WaitForItems({"/dev/ttyACM0", "/dev/ttyS5"}));
  EXPECT_EQ(dialog.ComboBox1->currentText(), "/dev/ttyUSB0");
  EXPECT_EQ(dialog.Label4->text(), "");
}

TEST_F(PortDialog, TheListIsMadeAfreshEachTimeTheDialogOpens) {
  dialog.show();
  EXPECT_EQ(Items(), QStringList{});
  dialog.hide();
  // Not watched while hidden; listed when it opens again.
  bed.AddUsb(Ftdi());
  tree.AddVirtual("vellamo-devsim-1");
  dialog.show();
  EXPECT_EQ(Items(),
            (QStringList{"/dev/ttyUSB0", QString::fromStdString(tree.PortsFolder() + "/vellamo-devsim-1")}));
}

// Two clocks announced as "clock" and "Clock" are two ports: both listed, the
// one chosen stays the one chosen.
TEST_F(PortDialog, PortsWhoseNamesDifferOnlyInCaseAreBothListed) {
  const QString lower = QString::fromStdString(tree.AddVirtual("clock"));
  const QString upper = QString::fromStdString(tree.AddVirtual("Clock"));
  dialog.show();
  ASSERT_EQ(Items(), (QStringList{upper, lower}));
  dialog.ComboBox1->setCurrentIndex(1);
  EXPECT_EQ(dialog.ComboBox1->currentText(), lower);
  EXPECT_EQ(dialog.Label4->text().isEmpty(), false);
}

#pragma once
// TForm2 "Port Einstellungen": the choice of the device's serial port. Its
// combo box is the program's only record of the port name: the start-up
// connection fills it, OK connects to its text, the firmware update reads it.
//   Each time the dialog opens, its list is made afresh; while it is shown, a
// udev monitor brings ports that are plugged in and takes away ports that are
// pulled, and what the user has chosen or typed stays in the field. Under the
// field a line says what the chosen port is (maker and model, serial number,
// by-id name); each entry's tool-tip says the same.

#include <QDialog>
#include <functional>
#include <memory>
#include <vector>

#include "serial/portenum.h"

class PortMonitor;
class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

class TForm2 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm2(QWidget* parent = nullptr);
  ~TForm2() override;

  QFrame* Panel1;
  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QComboBox* ComboBox1;  // editable; items kept sorted alphabetically
  QLabel* Label4;        // what the port in the field is
  QPushButton* BitBtn2;  // puts the chosen port's by-id name in the field
  QPushButton* BitBtn1;  // "OK"

  void BitBtn1Click();
  void BitBtn2Click();

  // Adds a port at its sorted place (letter case ignored), with its tool-tip.
  void AddSorted(const PortInfo& port);

  // Appends the ports found to a list (EnumSerialPorts); tests point it at a
  // umockdev test bed or a fake virtual-port folder.
  using PortLister = std::function<void(std::vector<PortInfo>& list)>;
  PortLister ListPorts;

  // The start-up connection: lists the ports into the combo box, selects the
  // last one when none is selected, and opens the combo box's text.
  void StartupConnection();

  // Makes the list afresh and keeps the field's text (and the selection, when
  // the text is still in the list).
  void RefreshPorts();

  // The port the field names, by its path or its by-id name; null for a name
  // that is not in the list.
  const PortInfo* ChosenPort() const;

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  // The close box only hides the dialog; the port stays as it is.
  void closeEvent(QCloseEvent* event) override;

 private:
  void ShowChosenPort();

  std::vector<PortInfo> ports_;  // what the list shows, with what each entry is
  std::unique_ptr<PortMonitor> monitor_;  // while shown
};

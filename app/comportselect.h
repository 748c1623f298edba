#pragma once
// TForm2 "Port Einstellungen": the choice of the device's serial port. Its
// combo box is the program's only record of the port name: the start-up
// connection fills it, OK connects to its text, the firmware update reads it.

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

class TForm2 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm2(QWidget* parent = nullptr);

  QFrame* Panel1;
  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QComboBox* ComboBox1;  // editable; items kept sorted alphabetically
  QPushButton* BitBtn1;  // "OK"

  void BitBtn1Click();

  // Adds a name at its sorted place (letter case ignored).
  void AddSorted(const QString& name);

  // Appends the names of the ports found to a list (EnumSerialPorts).
  using PortLister = std::function<void(std::vector<std::string>& list)>;

  // The start-up connection: lists the ports into the combo box, selects the
  // last one when none is selected, and opens the combo box's text.
  void StartupConnection(const PortLister& listPorts);

 protected:
  // The close box only hides the dialog; the port stays as it is.
  void closeEvent(QCloseEvent* event) override;
};

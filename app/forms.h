#pragma once
// The program's seven windows, created once by the program entry and kept for
// the whole run, so that each can reach the others.

class TForm1;
class TForm2;
class TForm3;
class TForm4;
class TForm5;
class TForm6;
class TForm7;

extern TForm1* Form1;  // main window
extern TForm2* Form2;  // "Port Einstellungen"
extern TForm3* Form3;  // "Zeit Syncronisieren (NTP)"
extern TForm4* Form4;  // "Sprachdaten kopieren"
extern TForm5* Form5;  // "Test / Kalibrieren"
extern TForm6* Form6;  // "Sprachdaten Update"
extern TForm7* Form7;  // "Info"

// Creates the windows in the program's order: TForm1, TForm2, TForm4, TForm6,
// TForm7, TForm3, TForm5. Each window's creation handler runs in its creation.
void CreateForms();

// Destroys them, the last created first, so that every destruction handler runs
// (the main window's last: its serial port closes and its worker ends).
void DestroyForms();

// SIGINT and SIGTERM do what "Ende" does: a running copy ends as "Abbrechen"
// ends it and a waiting query gives up, then the program ends normally.
void EndOnQuitSignals();

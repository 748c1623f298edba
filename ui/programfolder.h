#pragma once
#include <QString>

// The folder of the running executable with a trailing separator: the root of
// every data path (speechset\, soundset\, resources\tone.mp3, firmware/). An
// installed executable has its data in the installed data folder instead (see
// DataFolderFor).
QString ProgramFolder();

// Tests run from another folder than the program's; they point here at it.
void OverrideProgramFolder(const QString& folder);

// A data path as the windows write it ("speechset\a.wav") made openable: "\" is a
// folder separator on this system, and a name that is not there as written is
// looked up in any case, folder by folder, as Windows does. A path not found in
// any case comes back as written (with "/"). Every data path goes through here.
QString LocalPath(const QString& path);

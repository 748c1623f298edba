#pragma once
#include <QString>

// Where the data lies for an executable in `executableFolder` (with a trailing
// separator). In a program folder (the build's, or an unpacked portable archive)
// the data lies beside the executable: its speechset/ folder is there. An
// installed executable (/usr/bin/vellamo) has no data beside it; its data lies
// in the prefix's data folder (/usr/share/vellamo/). Returns a folder with a
// trailing separator; the executable's own folder when neither holds data, so
// that a missing file is looked for where the user expects it.
QString DataFolderFor(const QString& executableFolder);

#pragma once
// A tool started with standard input, output or error closed (`<&- >&- 2>&-`)
// would hand those numbers to the first files it opens: the signal pipe would
// become its output, and the tool would read its own lines back as signals.

// Opens each of the descriptors 0, 1 and 2 that is closed on /dev/null, before
// anything else is opened. False when /dev/null could not be opened.
bool OpenClosedStandardDescriptors();

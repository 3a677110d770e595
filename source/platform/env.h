#pragma once

// The runtime library's environment calls, with their Windows meanings.

#include <cstddef>

// Copies the value of the variable into the buffer. An unset variable gives an
// empty text and 0. A value that does not fit (with its NUL) gives ERANGE, an
// empty buffer and, in *requiredSize, the size the value would need.
//
// As on Windows, HOMEDRIVE, HOMEPATH and ProgramFiles always have a value:
// when the host does not define them, HOMEDRIVE is "C:", HOMEPATH the user's
// home folder in Windows form ("\home\u") and ProgramFiles "C:" followed by
// it ("C:\home\u"), so that with C: at the host root HOMEDRIVE and HOMEPATH
// name the home and the NPKI folder under ProgramFiles is ~/NPKI.
int getenv_s(std::size_t* requiredSize, char* buffer, std::size_t bufferSize, const char* name);

// Takes "name=value" and copies both parts into the environment; an empty value
// removes the variable. 0 on success, -1 on failure.
int _putenv(const char* assignment);

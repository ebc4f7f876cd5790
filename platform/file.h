#pragma once
// Host paths of Windows names, shared by the file functions and the shell.

#include <string>

// Host path of a Windows name: separators become '/', and when the name does not exist as
// written each component is matched without regard to case. A last component that exists in
// no case is kept as written (a file about to be created).
std::string PlatformHostPath(const char* name);

// The receivers' runtime folders on Linux, as status --all and metrics --all
// both look for them.
#ifndef TOOLS_PELMORCTL_LINUX_RUNTIME_FOLDERS_H
#define TOOLS_PELMORCTL_LINUX_RUNTIME_FOLDERS_H

#include <string>
#include <vector>

// The names of the folders in base that start with start and are longer,
// sorted; links are not followed.
std::vector<std::string> PelmorctlFoldersNamed(const std::string& base, const std::string& start);

#endif

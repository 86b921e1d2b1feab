// Scratch folders and whole files for the tests.
#ifndef TESTS_SUPPORT_FILES_H
#define TESTS_SUPPORT_FILES_H

#include <string>

// A fresh folder under the system's temporary folder, "" when none could be
// made; SupportRemoveFolder removes it with everything in it.
std::string SupportMakeFolder();
void SupportRemoveFolder(const std::string& path);

// The whole file, "" when it cannot be read.
std::string SupportReadFile(const std::string& path);

#endif

// The platform's modules: shared objects that hold what needs a heavy
// library of the system's (the directory search needs OpenLDAP and, through
// it, GnuTLS; passwords need OpenSSL's libcrypto), loaded the first time that
// is used, so that a program that never searches a directory nor touches a
// password never loads those libraries.
//
// A module sits in the folder "tzplatform" beside the shared library that
// holds the platform, or, for a program that has the platform built in,
// in that folder below the program's library folder (its own folder, then
// TZPLATFORM_LIB_FROM_BIN). Each module offers one entry function, which
// hands out a table of functions; its name carries the version of the table,
// so that a module of another build is refused rather than called wrongly.
//
// A module stays loaded until the platform itself is unloaded. A module that
// cannot be loaded is no error until something needs it: then that says so,
// naming the file and what the loader said, and the next use tries again.
#ifndef TZPLATFORM_SRC_UTIL_MODULES_H_
#define TZPLATFORM_SRC_UTIL_MODULES_H_

#include <string>

namespace tzplatform {
namespace detail {

// The table that `entry` (a function taking nothing and returning it) of the
// module file `file` hands out, the module loaded on first use; null with
// `error` saying why ("cannot load the directory search module
// /usr/lib/tzplatform/directory.so: ...") when it cannot be had. `what` names
// the module for people. Thread-safe.
const void* ModuleTable(const char* file, const char* entry, const char* what, std::string& error);

// The folder modules are loaded from.
std::string ModuleFolder();

// Loads modules from `folder` from now on (empty: the usual folder again);
// the modules loaded so far are unloaded. For tests.
void SetModuleFolderForTest(const std::string& folder);

}  // namespace detail
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_UTIL_MODULES_H_

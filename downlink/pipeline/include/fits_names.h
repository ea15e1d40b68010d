// fits_names: output names that the FITS library does not treat as plain file names.
#pragma once

#include <string>

// Standard output and names that carry FITS library qualifiers (an extension, a filter, a
// template, a remote or memory file) are not plain file names to rename onto: a product
// under such a name is created directly under it.
inline bool fits_special_name(const std::string& name) {
    return name == "-" || name == "stdout" || name.find_first_of("[(") != std::string::npos ||
           name.find("://") != std::string::npos;
}

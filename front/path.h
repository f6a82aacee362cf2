// Typed paths, one rule for both front ends: surrounding white space dropped, a leading "~" taken
// as the home directory, the path made absolute against the current directory, "." and ".."
// resolved (through the system when a symbolic link makes the lexical answer wrong), trailing
// slashes dropped. A folder inside an ISO image exists in no file system: its lexical form stands.
#ifndef OLMAREST_FRONT_PATH_H
#define OLMAREST_FRONT_PATH_H

#include <string>

// The typed text as a path by the rule above; "" when the text is empty or only white space.
std::string normalize_path(const std::string &typed);

// normalize_path when the result names something to index (valid_index_path), else "". A path too
// long for the index is create_idx's to refuse, with its reason.
std::string index_path_of(const std::string &typed);

#endif

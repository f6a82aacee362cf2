// Where the index lives: one directory holds idx.dat, the file a run builds beside it, and
// stopwords.txt. olmarest-cli and the desktop program choose it through choose_idx_dir, so both
// find the same index. Call from the UI thread while no run is active.
#ifndef OLMAREST_IDX_IDXDIR_H
#define OLMAREST_IDX_IDXDIR_H

#include <string>

// The index directory in use; "" (the start state) is the current directory.
const char *idx_dir();
// The path of a file of the index directory: "name" or "dir/name".
std::string idx_dir_file(const char *name);
// Makes dir the index directory as it is, without checks ("" for the current directory).
void set_idx_dir(const char *dir);

// The per-user index directory: $XDG_DATA_HOME/olmarest, else $HOME/.local/share/olmarest;
// "" when neither variable gives an absolute path.
std::string user_idx_dir();

// The stopwords.txt shipped with the programs: beside the program file (the build tree) or in
// share/olmarest beside the program's bin directory (an installation); "" when there is none.
std::string default_stopwords();

// Gives the index directory the default stop list when it has no stopwords.txt, as a new per-user
// directory gets it; an existing one, even empty, is left as it is. Nothing is said when no copy
// could be made: the run then has no stop words.
void seed_stop_list();

// Chooses the index directory and makes the engine use it: dir when given (not null, not empty),
// else $OLMAREST_DIR when set, else user_idx_dir(). A directory named by dir or $OLMAREST_DIR must
// exist already; the per-user one is made on first use, with its parents, and the default
// stopwords.txt is copied into it then. Returns 0, or -1 with the reason in *why.
int choose_idx_dir(const char *dir, std::string *why);

#endif

// Reading a file of the table by name, for excerpts, and the files a run could not read.
#include "idx/read/files.h"

#include <cstdio>
#include <cstring>

#include "idx/read/cdfs.h"
#include "idx/read/pipeline.h"
#include "os/os.h"

// ---- Reading a file by name ----

bool join_path(char *buf, unsigned file_num) {
    const FileEntry &e = file_table[file_num];
    int n = snprintf(buf, OS_PATH_MAX, "%s%c%s", e.dir_name, OS_PATH_SEP, e.file_name);
    return n >= 0 && n < OS_PATH_MAX;
}

// The file read_block read last, kept open until read_block_close: one result's excerpts read
// several blocks of one file. Owned by the thread that runs queries.
static int block_fd = -1;
static unsigned block_fd_file = 0;

int read_block(unsigned file_num, unsigned block, char *buf) {
    // Names from a volume's directories need not exist in any file system (never in an image).
    if (cd_mode) return read_cd_block(file_num, block, buf);
    if (block_fd < 0 || block_fd_file != file_num) {
        read_block_close();
        char path[OS_PATH_MAX];
        if (!join_path(path, file_num)) return -1;
        block_fd = os_open(path, OS_RANDOM);
        if (block_fd < 0) return -1;
        block_fd_file = file_num;
    }
    memset(buf, 0, READ_SIZE);
    long n = os_read_at(block_fd, buf, READ_SIZE, uint64_t{block} * READ_SIZE);
    return n > 0 ? static_cast<int>(n) : -1;
}

void read_block_close() {
    os_close(block_fd);
    block_fd = -1;
}

// ---- Files not read ----

int unread_count = 0;
std::vector<UnreadFile> unread_files;

void clear_unread() {
    unread_count = 0;
    unread_files.clear();
}

void note_left_out(const std::string &path, int error, bool folder) {
    if (unread_count++ >= UNREAD_NAMED) return;
    unread_files.push_back(UnreadFile{path, error, folder});
}

void note_unread(int file_num, int error) {
    if (unread_count >= UNREAD_NAMED) {
        unread_count++;
        return;
    }
    char path[OS_PATH_MAX];
    const FileEntry &e = file_table[static_cast<size_t>(file_num)];
    note_left_out(join_path(path, static_cast<unsigned>(file_num)) ? path : e.file_name, error, false);
}

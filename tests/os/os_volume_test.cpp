// Which volume holds a path: image files on the path, and the mount table's disc file systems.
#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>

#include "os/os.h"
#include "tests/iso_image.h"
#include "tests/test_util.h"

namespace {

using OsVolumeOf = TempTree;

TEST_F(OsVolumeOf, FindsTheImageOnThePath) {
    write("src/docs/a.txt", "a");
    ASSERT_TRUE(make_iso(path("src"), path("disc.iso"), "--norock"));
    write("plain.txt", std::string(40000, 'x'));
    mkdir("dir.iso");
    struct Case {
        std::string path;
        bool on_cd;
        std::string root, subtree;
    } cases[] = {
        {"disc.iso", true, "disc.iso", ""},
        {"disc.iso/", true, "disc.iso", ""},
        {"disc.iso/docs/sub", true, "disc.iso", "docs/sub"},
        {"disc.iso//docs/./x/../sub/", true, "disc.iso", "docs/sub"},
        {"disc.iso/..", true, "disc.iso", ""},
        {"./disc.iso/DOCS", true, "./disc.iso", "DOCS"},
        {root() + "/disc.iso/docs", true, root() + "/disc.iso", "docs"},
        {"dir.iso", false, "", ""},
        {"plain.txt", false, "", ""},
        {"plain.txt/docs", false, "", ""},
        {"missing.iso/docs", false, "", ""},
        {"", false, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        OsVolume vol;
        ASSERT_EQ(os_volume_of(c.path.c_str(), &vol), c.on_cd);
        if (!c.on_cd) continue;
        EXPECT_TRUE(vol.image);
        EXPECT_EQ(vol.device, c.root);
        EXPECT_EQ(vol.root, c.root);
        EXPECT_EQ(vol.subtree, c.subtree);
    }
}

TEST(OsMountVolume, TakesTheLongestMountOfADiscFileSystem) {
    const std::string table =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "40 22 11:0 / /media/cd\\040rom ro,nosuid shared:5 - iso9660 /dev/sr0 ro,nojoliet\n"
        "41 22 11:1 / /media/cdrom2 ro master:3 - udf /dev/sr1 ro\n"
        "42 22 7:0 /DOCS /mnt/bound ro - iso9660 /dev/loop0 ro\n"
        "43 22 8:2 / /media/stack rw - ext4 /dev/sda2 rw\n"
        "44 43 7:1 / /media/stack ro - iso9660 /dev/loop1 ro\n"
        "garbage line\n";
    struct Case {
        const char *resolved;
        bool on_cd;
        const char *device, *root, *subtree;
    } cases[] = {
        {"/media/cd rom/DOCS/x", true, "/dev/sr0", "/media/cd rom", "DOCS/x"},
        {"/media/cd rom", true, "/dev/sr0", "/media/cd rom", ""},
        {"/media/cdrom2/a", true, "/dev/sr1", "/media/cdrom2", "a"},
        {"/media/cd romX", false, "", "", ""}, // a name that merely starts like the mount point
        {"/home/u", false, "", "", ""},
        {"/mnt/bound/x", false, "", "", ""}, // part of a disc bound elsewhere: walked
        {"/media/stack/x", true, "/dev/loop1", "/media/stack", "x"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.resolved);
        OsVolume vol;
        ASSERT_EQ(os_mount_volume(c.resolved, table, &vol), c.on_cd);
        if (!c.on_cd) continue;
        EXPECT_FALSE(vol.image);
        EXPECT_EQ(vol.device, c.device);
        EXPECT_EQ(vol.root, c.root);
        EXPECT_EQ(vol.subtree, c.subtree);
    }
}

using OsOpenVolume = TempTree;

TEST_F(OsOpenVolume, OpensFilesAndDevicesOnly) {
    write("disc.iso", std::string(6144, 'v'));
    uint64_t size = 0;
    int fd = os_open_volume("disc.iso", OS_DIRECT, &size);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(size, 6144u);
    os_close(fd);
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    EXPECT_EQ(os_open_volume("fifo", OS_DIRECT, &size), -1); // never blocks, never opens
    EXPECT_EQ(os_open_volume("missing", 0, &size), -1);
    mkdir("d");
    EXPECT_EQ(os_open_volume("d", 0, &size), -1);
}

} // namespace

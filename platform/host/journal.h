#pragma once
// What a power cut would take back on the host: the file data written since
// each file's last fsync, and the entries created, renamed or removed in each
// folder since that folder's last fsync. The sys_* calls report every change
// to a plain file before they make it; cut() then rolls the files under the
// root back to their durable state.
//
// Data is kept page by page: before the first write to a page of a file that
// lies within the file's durable size, the page's bytes are saved; a cut
// restores the saved pages and truncates the file to its durable size, so
// that appends since the last fsync go and overwritten bytes come back. An
// open that truncates saves the whole file first.
//
// A folder's entries (name -> inode) are saved before its first change since
// its last fsync. A file whose name goes away (unlink, rename over it or away
// from it) is kept alive by a hard link in the attic, a hidden folder under
// the root, so that a cut can put the name back on the same inode, with that
// inode's durable data. Each folder is rolled back on its own, as its own
// fsync makes it durable on its own. Renamed or removed folders are not
// rolled back (nothing here renames or removes a folder); a folder created
// since its parent's fsync goes with everything in it.
//
// The caller holds the host's lock around every call.

#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <utility>

namespace meter::host {

class PowerJournal {
public:
    // The attic's name in the root folder; listings leave it out.
    static constexpr const char *kAttic = ".host-attic";

    PowerJournal() = default;
    PowerJournal(const PowerJournal &) = delete;
    PowerJournal &operator=(const PowerJournal &) = delete;
    ~PowerJournal() { stop(); }

    // From now on everything on disk counts as durable and changes are kept;
    // root is METER_ROOT (nothing is kept without one).
    void start(const std::string &root);
    // Forgets what was kept and removes the attic.
    void stop();
    bool tracking() const { return !root_.empty(); }

    void before_write(int fd, size_t count);
    // An open of an existing file that truncates it.
    void before_truncate(const std::string &host_path);
    // A name is about to be created in, removed from or renamed in a folder.
    void before_folder_change(const std::string &host_folder);
    // The name host_path is about to go away (unlink, rename from or over it).
    void before_name_goes(const std::string &host_path);
    // fd has been fsynced: a file's data, or a folder's entries, are durable.
    void fsynced(int fd);
    void folder_fsynced(const std::string &host_folder);

    // The power goes: everything not durable is rolled back, and what is on
    // disk afterwards is the new durable state.
    void cut();

private:
    using Key = std::pair<dev_t, ino_t>;
    struct FileUndo {
        int fd = -1;  // our own descriptor of the inode, read-write
        off_t durable_size = 0;
        std::map<off_t, std::string> pages;  // page number -> durable bytes
    };
    struct Entry {
        Key key;
        bool folder = false;
    };
    struct FolderUndo {
        std::string path;
        std::map<std::string, Entry> entries;  // the durable entries
    };

    static bool entries_of(const std::string &host_folder, std::map<std::string, Entry> *out);
    FileUndo *file_record(int fd, const struct stat &st);
    void save_pages(FileUndo &f, off_t from, off_t to);
    void folder_durable(const Key &key);
    void drop_unused_attic();
    std::string attic_path(const Key &key) const;
    void roll_back_folder(const FolderUndo &f);

    std::string root_;
    std::map<Key, FileUndo> files_;
    std::map<Key, FolderUndo> folders_;
};

}  // namespace meter::host

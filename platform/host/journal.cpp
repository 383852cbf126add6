#include "journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace meter::host {

namespace {

constexpr off_t kPage = 4096;

}  // namespace

void PowerJournal::start(const std::string &root) {
    stop();
    root_ = root;
}

void PowerJournal::stop() {
    for (auto &[key, f] : files_) {
        ::close(f.fd);
    }
    files_.clear();
    folders_.clear();
    if (tracking()) {
        std::error_code ec;
        std::filesystem::remove_all(root_ + "/" + kAttic, ec);
    }
    root_.clear();
}

std::string PowerJournal::attic_path(const Key &key) const {
    return root_ + "/" + kAttic + "/" + std::to_string(key.first) + "-" + std::to_string(key.second);
}

PowerJournal::FileUndo *PowerJournal::file_record(int fd, const struct stat &st) {
    const Key key{st.st_dev, st.st_ino};
    auto it = files_.find(key);
    if (it != files_.end()) {
        return &it->second;
    }
    // Our own descriptor, so that the file can be restored whatever happens
    // to the program's descriptor and to the file's names.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int own = ::open(self.c_str(), O_RDWR | O_CLOEXEC);
    if (own < 0) {
        return nullptr;
    }
    FileUndo &f = files_[key];
    f.fd = own;
    f.durable_size = st.st_size;
    return &f;
}

void PowerJournal::save_pages(FileUndo &f, off_t from, off_t to) {
    to = std::min(to, f.durable_size);
    for (off_t page = from / kPage; page * kPage < to; ++page) {
        if (f.pages.count(page) != 0) {
            continue;  // already holds the durable bytes
        }
        std::string bytes(kPage, '\0');
        const ssize_t n = ::pread(f.fd, bytes.data(), kPage, page * kPage);
        bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
        f.pages[page] = std::move(bytes);
    }
}

void PowerJournal::before_write(int fd, size_t count) {
    struct stat st {};
    if (!tracking() || count == 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    FileUndo *f = file_record(fd, st);
    if (f == nullptr) {
        return;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    const off_t at = flags >= 0 && (flags & O_APPEND) != 0 ? st.st_size : ::lseek(fd, 0, SEEK_CUR);
    if (at >= 0) {
        save_pages(*f, at, at + static_cast<off_t>(count));
    }
}

void PowerJournal::before_truncate(const std::string &host_path) {
    if (!tracking()) {
        return;
    }
    const int fd = ::open(host_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (FileUndo *f = file_record(fd, st)) {
            save_pages(*f, 0, f->durable_size);
        }
    }
    ::close(fd);
}

void PowerJournal::before_folder_change(const std::string &host_folder) {
    struct stat st {};
    if (!tracking() || ::stat(host_folder.c_str(), &st) != 0) {
        return;
    }
    const Key key{st.st_dev, st.st_ino};
    if (folders_.count(key) != 0) {
        return;  // its durable entries are kept already
    }
    FolderUndo f{host_folder, {}};
    if (entries_of(host_folder, &f.entries)) {
        folders_[key] = std::move(f);
    }
}

void PowerJournal::before_name_goes(const std::string &host_path) {
    struct stat st {};
    if (!tracking() || ::lstat(host_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    const std::string attic = attic_path(Key{st.st_dev, st.st_ino});
    ::mkdir((root_ + "/" + kAttic).c_str(), 0700);
    if (::access(attic.c_str(), F_OK) != 0) {
        ::link(host_path.c_str(), attic.c_str());
    }
}

void PowerJournal::fsynced(int fd) {
    struct stat st {};
    if (!tracking() || ::fstat(fd, &st) != 0) {
        return;
    }
    const Key key{st.st_dev, st.st_ino};
    if (S_ISDIR(st.st_mode)) {
        folder_durable(key);
        return;
    }
    auto it = files_.find(key);
    if (it != files_.end()) {
        ::close(it->second.fd);
        files_.erase(it);
    }
}

void PowerJournal::folder_fsynced(const std::string &host_folder) {
    struct stat st {};
    if (tracking() && ::stat(host_folder.c_str(), &st) == 0) {
        folder_durable(Key{st.st_dev, st.st_ino});
    }
}

void PowerJournal::folder_durable(const Key &key) {
    if (folders_.erase(key) != 0) {
        drop_unused_attic();
    }
}

// An attic link is needed while some folder's durable entries name its file.
void PowerJournal::drop_unused_attic() {
    std::set<std::string> needed;
    for (const auto &[key, f] : folders_) {
        for (const auto &[name, e] : f.entries) {
            needed.insert(attic_path(e.key));
        }
    }
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(root_ + "/" + kAttic, ec)) {
        if (needed.count(e.path().string()) == 0) {
            std::filesystem::remove(e.path(), ec);
        }
    }
}

bool PowerJournal::entries_of(const std::string &host_folder, std::map<std::string, Entry> *out) {
    DIR *dir = ::opendir(host_folder.c_str());
    if (dir == nullptr) {
        return false;
    }
    while (const dirent *e = ::readdir(dir)) {
        const std::string name = e->d_name;
        struct stat st {};
        if (name != "." && name != ".." && name != kAttic &&
            ::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            (*out)[name] = Entry{Key{st.st_dev, st.st_ino}, S_ISDIR(st.st_mode)};
        }
    }
    ::closedir(dir);
    return true;
}

void PowerJournal::roll_back_folder(const FolderUndo &f) {
    std::map<std::string, Entry> now;
    if (!entries_of(f.path, &now)) {
        return;  // gone with a folder above it
    }
    std::error_code ec;
    for (const auto &[name, e] : now) {
        auto durable = f.entries.find(name);
        if (durable == f.entries.end() || durable->second.key != e.key) {
            std::filesystem::remove_all(f.path + "/" + name, ec);
        }
    }
    for (const auto &[name, e] : f.entries) {
        auto it = now.find(name);
        if (e.folder || (it != now.end() && it->second.key == e.key)) {
            continue;
        }
        ::link(attic_path(e.key).c_str(), (f.path + "/" + name).c_str());
    }
}

void PowerJournal::cut() {
    if (!tracking()) {
        return;
    }
    for (auto &[key, f] : files_) {
        for (const auto &[page, bytes] : f.pages) {
            const ssize_t n = ::pwrite(f.fd, bytes.data(), bytes.size(), page * kPage);
            (void)n;
        }
        const int rc = ::ftruncate(f.fd, f.durable_size);
        (void)rc;
        ::close(f.fd);
    }
    files_.clear();
    // Deeper folders first: a folder that its parent's roll-back removes is
    // then already done with.
    std::vector<const FolderUndo *> order;
    for (const auto &[key, f] : folders_) {
        order.push_back(&f);
    }
    std::sort(order.begin(), order.end(),
              [](const FolderUndo *a, const FolderUndo *b) { return a->path.size() > b->path.size(); });
    for (const FolderUndo *f : order) {
        roll_back_folder(*f);
    }
    folders_.clear();
    std::error_code ec;
    std::filesystem::remove_all(root_ + "/" + kAttic, ec);
}

}  // namespace meter::host

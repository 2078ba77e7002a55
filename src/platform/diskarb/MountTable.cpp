#include "platform/diskarb/MountTable.h"

#include <libmount.h>
#include <memory>
#include <sys/sysmacros.h>

namespace quarlin::platform {

namespace {
struct TableDeleter {
    void operator()(libmnt_table* table) const { mnt_unref_table(table); }
};
struct IteratorDeleter {
    void operator()(libmnt_iter* iterator) const { mnt_free_iter(iterator); }
};
std::string orEmpty(const char* text) { return text ? std::string(text) : std::string(); }
}  // namespace

std::optional<std::vector<MountEntry>> readMountTable(const std::filesystem::path& file) {
    std::unique_ptr<libmnt_table, TableDeleter> table(mnt_new_table());
    if (!table) return std::nullopt;
    if (mnt_table_parse_file(table.get(), file.c_str()) != 0) return std::nullopt;
    std::unique_ptr<libmnt_iter, IteratorDeleter> iterator(mnt_new_iter(MNT_ITER_FORWARD));
    if (!iterator) return std::nullopt;
    std::vector<MountEntry> entries;
    libmnt_fs* fs = nullptr;
    while (mnt_table_next_fs(table.get(), iterator.get(), &fs) == 0) {
        MountEntry entry;
        entry.source = orEmpty(mnt_fs_get_source(fs));
        entry.target = orEmpty(mnt_fs_get_target(fs));
        entry.root = orEmpty(mnt_fs_get_root(fs));
        entry.fileSystemType = orEmpty(mnt_fs_get_fstype(fs));
        dev_t number = mnt_fs_get_devno(fs);
        entry.major = ::major(number);
        entry.minor = ::minor(number);
        entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace quarlin::platform

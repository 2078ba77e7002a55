// What became of a mounted volume that was asked to leave before a scan.
#pragma once

#include <string>
#include <variant>

namespace quarlin {

struct MountPathTaken {
    struct Unmounted {  // unmounted; the name is the one disk arbitration reports
        std::string bsdName;
        friend bool operator==(const Unmounted&, const Unmounted&) = default;
    };
    struct ReadOnlyRemount {  // still mounted, or no attempt could be made
        std::string bsdName;
        std::string reason;
        friend bool operator==(const ReadOnlyRemount&, const ReadOnlyRemount&) = default;
    };
    struct AlreadyUnmounted {  // nothing was mounted; the name as asked for
        std::string bsdName;
        friend bool operator==(const AlreadyUnmounted&, const AlreadyUnmounted&) = default;
    };
    using Case = std::variant<Unmounted, ReadOnlyRemount, AlreadyUnmounted>;

    static MountPathTaken unmounted(std::string bsdName) { return {Unmounted{std::move(bsdName)}}; }
    static MountPathTaken readOnlyRemount(std::string bsdName, std::string reason) {
        return {ReadOnlyRemount{std::move(bsdName), std::move(reason)}};
    }
    static MountPathTaken alreadyUnmounted(std::string bsdName) {
        return {AlreadyUnmounted{std::move(bsdName)}};
    }

    const Case& value() const { return value_; }
    friend bool operator==(const MountPathTaken&, const MountPathTaken&) = default;

    Case value_;
};

}  // namespace quarlin

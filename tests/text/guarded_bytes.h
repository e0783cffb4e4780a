// SPDX-License-Identifier: BSD-2-Clause
// Bytes placed so that the first byte after them is unreadable: they end
// exactly at a page boundary followed by a PROT_NONE page. Reading one
// byte too far faults in every build, not only under AddressSanitizer.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

class GuardedBytes {
public:
    explicit GuardedBytes(size_t max_bytes)
    {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        data_pages_ = (max_bytes + page_ - 1) / page_ + 1;
        size_t total = (data_pages_ + 1) * page_;
        void *p = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            abort();
        base_ = static_cast<char *>(p);
        if (mprotect(base_ + data_pages_ * page_, page_, PROT_NONE) != 0)
            abort();
        capacity_ = data_pages_ * page_;
    }
    ~GuardedBytes() { munmap(base_, (data_pages_ + 1) * page_); }
    GuardedBytes(const GuardedBytes &) = delete;
    GuardedBytes &operator=(const GuardedBytes &) = delete;

    // Copies `bytes` so that they end at the guard page; returns the copy.
    const char *place(std::string_view bytes)
    {
        if (bytes.size() > capacity_)
            abort();
        char *at = base_ + capacity_ - bytes.size();
        if (!bytes.empty())
            memcpy(at, bytes.data(), bytes.size());
        return at;
    }

    // The same for a NUL-terminated string, whose NUL is the last byte.
    char *place_string(std::string_view s)
    {
        if (s.size() + 1 > capacity_)
            abort();
        char *at = base_ + capacity_ - s.size() - 1;
        if (!s.empty())
            memcpy(at, s.data(), s.size());
        at[s.size()] = '\0';
        return at;
    }

private:
    char *base_ = nullptr;
    size_t page_ = 0;
    size_t data_pages_ = 0;
    size_t capacity_ = 0;
};

// An owned UTF-8 text for names (package and option names), kept inline up to
// 30 bytes. std::string keeps only 15 inline, and most package names are
// longer than that ("libwxgtk-gl3.2-1t64"): every Depends built from such a
// name would pay a second allocation, and so would every copy of it in a tree.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace kelto::package {

class Text {
public:
    Text() noexcept { set_inline_size(0); }
    Text(std::string_view text) { assign_new(text); }           // NOLINT(google-explicit-constructor)
    Text(const std::string& text) : Text(std::string_view{text}) {}  // NOLINT(google-explicit-constructor)
    Text(const char* text) : Text(std::string_view{text}) {}         // NOLINT(google-explicit-constructor)

    Text(const Text& other) { assign_new(other.view()); }
    Text(Text&& other) noexcept {
        std::memcpy(static_cast<void*>(this), &other, sizeof(Text));
        other.set_inline_size(0);
    }
    Text& operator=(const Text& other) {
        if (this != &other) *this = Text(other);
        return *this;
    }
    Text& operator=(Text&& other) noexcept {
        if (this != &other) {
            release();
            std::memcpy(static_cast<void*>(this), &other, sizeof(Text));
            other.set_inline_size(0);
        }
        return *this;
    }
    ~Text() { release(); }

    [[nodiscard]] const char* data() const noexcept { return on_heap() ? heap_ptr() : storage_; }
    [[nodiscard]] std::size_t size() const noexcept { return on_heap() ? heap_size() : tag_; }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }
    [[nodiscard]] std::string_view view() const noexcept { return {data(), size()}; }
    operator std::string_view() const noexcept { return view(); }  // NOLINT(google-explicit-constructor)

    friend bool operator==(const Text& a, std::string_view b) noexcept { return a.view() == b; }

    static constexpr std::size_t kInlineCapacity = 30;

private:
    static constexpr unsigned char kHeapTag = 0xff;

    [[nodiscard]] bool on_heap() const noexcept { return tag_ == kHeapTag; }
    // A heap text keeps its pointer and size in the first 16 bytes of storage_.
    [[nodiscard]] char* heap_ptr() const noexcept {
        char* ptr;
        std::memcpy(&ptr, storage_, sizeof ptr);
        return ptr;
    }
    [[nodiscard]] std::size_t heap_size() const noexcept {
        std::size_t size;
        std::memcpy(&size, storage_ + sizeof(char*), sizeof size);
        return size;
    }
    void set_inline_size(std::size_t size) noexcept {
        tag_ = static_cast<unsigned char>(size);
        storage_[size] = '\0';
    }
    void assign_new(std::string_view text) {
        if (text.size() <= kInlineCapacity) {
            std::memcpy(storage_, text.data(), text.size());
            set_inline_size(text.size());
            return;
        }
        auto* ptr = static_cast<char*>(::operator new(text.size() + 1));
        std::memcpy(ptr, text.data(), text.size());
        ptr[text.size()] = '\0';
        const std::size_t size = text.size();
        std::memcpy(storage_, &ptr, sizeof ptr);
        std::memcpy(storage_ + sizeof ptr, &size, sizeof size);
        tag_ = kHeapTag;
    }
    void release() noexcept {
        if (on_heap()) ::operator delete(heap_ptr());
    }

    alignas(8) char storage_[kInlineCapacity + 1];  // inline: the text, NUL-terminated
    unsigned char tag_;                             ///< the inline size, or kHeapTag
};

static_assert(sizeof(Text) == 32);

}  // namespace kelto::package

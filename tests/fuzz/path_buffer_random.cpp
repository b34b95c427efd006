// Random operations on PathBuffer, checked against a small model after every step. Built
// natively with clang's AddressSanitizer and UndefinedBehaviorSanitizer by
// tools/fuzz/fuzz_path_buffer.sh; the one Microsoft CRT call has a stand-in below.
//
// usage: path_buffer_random OPERATIONS SEED
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <new>

#include <random>
#include <string>

#include "path_buffer.h"

// _vsnprintf as the Microsoft CRT has it: output that fills count bytes gets no terminator,
// and output longer than count returns -1.
int _vsnprintf(char* buffer, size_t count, const char* format, va_list arguments) {
    char whole[4096];
    int length = vsnprintf(whole, sizeof(whole), format, arguments);
    if (length < 0)
        return -1;
    if (size_t(length) >= count) {
        memcpy(buffer, whole, count);
        return size_t(length) == count ? length : -1;
    }
    memcpy(buffer, whole, length + 1);
    return length;
}

namespace {

const size_t kCapacity = PathBuffer::Capacity;

// The documented behaviour, on std::string.
struct Model {
    std::string value;
    std::string scratch;

    void Assign(const char* text) { value = text ? std::string(text).substr(0, kCapacity) : ""; }
    void Append(const char* text) {
        if (text && *text && value.size() + strlen(text) <= kCapacity)
            value += text;
    }
    void DirectoryPart() {
        size_t slash = value.rfind('\\');
        scratch = slash == std::string::npos ? ".\\" : value.substr(0, slash + 1);
    }
    void ChangeExtension(const char* extension) {
        size_t dot = value.rfind('.');
        if (dot != std::string::npos)
            value.resize(dot);
        if (!extension)
            return;
        std::string added = strchr(extension, '.') ? extension : std::string(".") + extension;
        value = value.size() + added.size() > kCapacity ? "" : value + added;
    }
};

// A PathBuffer between two guard areas that must stay untouched.
struct Guarded {
    unsigned char before[32];
    PathBuffer buffer;
    unsigned char after[32];
};
static_assert(sizeof(PathBuffer) == 522, "two slots of 261 bytes");

class Run {
  public:
    explicit Run(unsigned seed) : random_(seed) {
        memset(&guarded_, 0xA5, sizeof(guarded_));
        new (&guarded_.buffer) PathBuffer();
    }

    // One random operation; false on the first difference from the model.
    bool Step(unsigned long number) {
        char text[600];
        const char* argument = RandomText(text);
        std::string what;
        switch (Pick(9)) {
        case 0:
            what = "Assign";
            guarded_.buffer.Assign(argument);
            model_.Assign(argument);
            break;
        case 1:
        case 2:
            what = "Append";
            guarded_.buffer.Append(argument);
            model_.Append(argument);
            break;
        case 3: {
            what = "Format";
            char second[600];
            const char* other = RandomText(second);
            static const char* const kFormats[] = {"%s%s", "%s\\%s", "%s\x83\x5C%s", "%.3s%s",
                                                   "%s%s \x82\xCC\x8D\x58\x90\x56"};
            const char* format = Pick(20) == 0 ? nullptr : kFormats[Pick(5)];
            guarded_.buffer.Format(format, argument ? argument : "", other ? other : "");
            if (format) {
                char expected[2048];
                snprintf(expected, sizeof(expected), format, argument ? argument : "",
                         other ? other : "");
                model_.value = std::string(expected).substr(0, kCapacity);
            }
            break;
        }
        case 4: {
            what = "DirectoryPart";
            model_.DirectoryPart();
            const char* scratch = guarded_.buffer.DirectoryPart();
            if (model_.scratch != scratch)
                return Report(number, what, "scratch", model_.scratch, scratch);
            break;
        }
        case 5:
            what = "Assign(DirectoryPart())";
            model_.DirectoryPart();
            model_.Assign(model_.scratch.c_str());
            guarded_.buffer.Assign(guarded_.buffer.DirectoryPart());
            break;
        case 6:
        case 7:
            what = "ChangeExtension";
            guarded_.buffer.ChangeExtension(argument);
            model_.ChangeExtension(argument);
            break;
        default: {
            FileKind kind = Pick(130);
            what = "ChangeExtensionByKind " + std::to_string(kind);
            guarded_.buffer.ChangeExtensionByKind(kind);
            model_.ChangeExtension(FileKindExtension(kind));
            break;
        }
        }
        return Check(number, what);
    }

  private:
    unsigned Pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random_); }

    // Null, empty, short, or around the capacity; made of letters, backslashes, dots and
    // code page 932 characters whose second byte is 0x5C or 0x2E-like bytes.
    const char* RandomText(char* out) {
        unsigned shape = Pick(16);
        if (shape == 0)
            return nullptr;
        size_t length = shape == 1   ? 0
                        : shape < 8  ? Pick(12)
                        : shape < 14 ? 250 + Pick(16)
                                     : Pick(520);
        static const char* const kPieces[] = {"a",        "Z",   "\\", ".", "\x83\x5C", "\x95\x5C",
                                              "\x82\xA0", "vmf", "~",  " ", "\x81\x2E"};
        size_t used = 0;
        while (used < length) {
            const char* piece = kPieces[Pick(sizeof(kPieces) / sizeof(kPieces[0]))];
            size_t size = strlen(piece);
            if (used + size > length)
                piece = "x", size = 1;
            memcpy(out + used, piece, size);
            used += size;
        }
        out[used] = 0;
        return out;
    }

    bool Check(unsigned long number, const std::string& what) {
        const unsigned char* raw = reinterpret_cast<const unsigned char*>(&guarded_.buffer);
        if (raw[kCapacity] != 0 || raw[2 * kCapacity + 1] != 0)
            return Report(number, what, "terminators", "0 0",
                          std::to_string(raw[kCapacity]) + " " +
                              std::to_string(raw[2 * kCapacity + 1]));
        for (unsigned char guard : guarded_.before)
            if (guard != 0xA5)
                return Report(number, what, "guard before", "intact", "overwritten");
        for (unsigned char guard : guarded_.after)
            if (guard != 0xA5)
                return Report(number, what, "guard after", "intact", "overwritten");
        if (model_.value != guarded_.buffer.Text())
            return Report(number, what, "value", model_.value, guarded_.buffer.Text());
        return true;
    }

    bool Report(unsigned long number, const std::string& what, const char* part,
                const std::string& expected, const std::string& actual) {
        printf("FINDING at operation %lu (%s): %s differs\n  expected [%s] (%zu)\n  actual   [%s] "
               "(%zu)\n",
               number, what.c_str(), part, expected.c_str(), expected.size(), actual.c_str(),
               actual.size());
        return false;
    }

    std::mt19937 random_;
    Guarded guarded_;
    Model model_;
};

} // namespace

int main(int argc, char** argv) {
    unsigned long operations = argc > 1 ? strtoul(argv[1], nullptr, 10) : 1000000;
    unsigned seed = argc > 2 ? unsigned(strtoul(argv[2], nullptr, 10)) : 1;
    Run run(seed);
    clock_t start = clock();
    for (unsigned long i = 0; i < operations; ++i)
        if (!run.Step(i))
            return 1;
    double seconds = double(clock() - start) / CLOCKS_PER_SEC;
    printf("path buffer: %lu random operations (seed %u), 0 findings, %.1f s, %.0f operations/s\n",
           operations, seed, seconds, seconds > 0 ? operations / seconds : 0.0);
    return 0;
}

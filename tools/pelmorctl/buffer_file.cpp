// The buffer file read back in fixed blocks.
#include "buffer_file.h"
#include "buffer_platform.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

constexpr int64_t BUFFER_SEEK_MAX = INT32_MAX; // a LONG seek reaches no further

// Fills the block from the file behind the bytes not yet handed out. 1, or 0
// when reading failed.
int BufferFill(BufferReader* reader) {
    const int32_t kept = reader->length - reader->at;
    std::memmove(reader->block, reader->block + reader->at, static_cast<std::size_t>(kept));
    reader->blockOffset += reader->at;
    reader->length = kept;
    reader->at = 0;
    while (reader->length < static_cast<int32_t>(sizeof reader->block)) {
        const LONG got = _hread(reader->file, reader->block + reader->length,
                                static_cast<LONG>(sizeof reader->block) - reader->length);
        if (got < 0) {
            return 0;
        }
        if (got == 0) {
            break;
        }
        reader->length += got;
    }
    return 1;
}

} // namespace

int BufferOpen(BufferReader* reader, const char* path) {
    reader->file = _lopen(path, OF_READ);
    if (reader->file != HFILE_ERROR && BufferRegularFile(reader->file) == 0) {
        _lclose(reader->file);
        reader->file = HFILE_ERROR;
    }
    if (reader->file == HFILE_ERROR) {
        std::fprintf(stderr,
                     "pelmorctl: %s nicht lesbar (fehlt, keine Leserechte oder keine "
                     "regulaere Datei)\n",
                     path);
        return 0;
    }
    reader->blockOffset = 0;
    reader->length = 0;
    reader->at = 0;
    return 1;
}

void BufferClose(BufferReader* reader) {
    _lclose(reader->file);
}

int BufferSkip(BufferReader* reader, int64_t records) {
    const int64_t target = records * PELMOR_DISK_RECORD_LENGTH;
    if (target <= BUFFER_SEEK_MAX) {
        if (_llseek(reader->file, static_cast<LONG>(target), FILE_BEGIN) != target) {
            return 0;
        }
        reader->blockOffset = target;
        reader->length = 0;
        reader->at = 0;
        return 1;
    }
    // Further than a seek reaches: read past them.
    const unsigned char* record = nullptr;
    int32_t length = 0;
    int64_t offset = 0;
    for (int64_t skipped = 0; skipped < records; ++skipped) {
        const int result = BufferNext(reader, &record, &length, &offset);
        if (result == BUFFER_READ_FAILED) {
            return 0;
        }
        if (result != BUFFER_RECORD) {
            break;
        }
    }
    return 1;
}

int BufferNext(BufferReader* reader, const unsigned char** record, int32_t* length,
               int64_t* offset) {
    *offset = reader->blockOffset + reader->at; // a fill moves the block, not this
    if (reader->length - reader->at < PELMOR_DISK_RECORD_LENGTH && BufferFill(reader) == 0) {
        return BUFFER_READ_FAILED;
    }
    const int32_t left = reader->length - reader->at;
    *record = reader->block + reader->at;
    if (left == 0) {
        *length = 0;
        return BUFFER_END;
    }
    if (left < PELMOR_DISK_RECORD_LENGTH) {
        *length = left;
        reader->at = reader->length;
        return BUFFER_TORN;
    }
    *length = PELMOR_DISK_RECORD_LENGTH;
    reader->at += PELMOR_DISK_RECORD_LENGTH;
    return BUFFER_RECORD;
}

void BufferStampText(const char* stamp, char separator, char (&text)[BUFFER_STAMP_TEXT_SIZE]) {
    // Set by hand: it is done for every record, and printf would cost more
    // than the rest of the record's decoding.
    static const char pattern[] = "YYYY-MM-DD_hh:mm:ss";
    static_assert(sizeof pattern == BUFFER_STAMP_TEXT_SIZE, "the text fits");
    const char* digit = stamp;
    for (std::size_t i = 0; i < sizeof pattern; ++i) {
        const char c = pattern[i];
        text[i] = c == '-' || c == ':' || c == '\0' ? c : c == '_' ? separator : *digit++;
    }
}

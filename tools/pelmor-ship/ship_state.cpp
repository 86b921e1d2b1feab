// The shipper's durable position: one small text file, replaced whole.
#include "pelmor-ship/ship.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/decimal.h"

namespace {

constexpr const char* STATE_HEADER = "pelmor-ship state 1";
constexpr std::size_t STATE_LINE_MAX = 2 * SHIP_RECORD + 64;
constexpr off_t STATE_FILE_MAX = 8192;

bool StateWriteAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

int StateHexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Copies a text value into a field, refusing one that does not fit.
template <std::size_t N> bool StateText(const char* value, char (&field)[N]) {
    const std::size_t length = std::strlen(value);
    if (length >= N) {
        return false;
    }
    std::memcpy(field, value, length + 1);
    return true;
}

bool StateNumber(const char* value, int64_t* number) {
    return DecimalParseText(value, std::strlen(value) + 1, INT64_MAX, number);
}

// One "key value" line into the state; false for a line that does not belong.
bool StateLine(char* line, ShipState* state) {
    char* value = std::strchr(line, ' ');
    if (value == nullptr) {
        return false;
    }
    *value++ = '\0';
    int64_t number = 0;
    if (std::strcmp(line, "instance") == 0) {
        return std::strlen(value) == 16 && StateText(value, state->instance);
    }
    if (std::strcmp(line, "source") == 0) {
        return StateText(value, state->source);
    }
    if (std::strcmp(line, "error") == 0) {
        return StateText(value, state->error);
    }
    if (std::strcmp(line, "previous_id") == 0) {
        return StateText(value, state->previousId);
    }
    if (std::strcmp(line, "previous_record") == 0) {
        if (std::strlen(value) != 2 * static_cast<std::size_t>(SHIP_RECORD)) {
            return false;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(SHIP_RECORD); ++i) {
            const int high = StateHexValue(value[2 * i]);
            const int low = StateHexValue(value[2 * i + 1]);
            if (high < 0 || low < 0) {
                return false;
            }
            state->previousRecord[i] = static_cast<unsigned char>(high * 16 + low);
        }
        return true;
    }
    if (!StateNumber(value, &number)) {
        return false;
    }
    if (std::strcmp(line, "generation") == 0) {
        state->generation = number;
    } else if (std::strcmp(line, "position") == 0) {
        state->position = number;
    } else if (std::strcmp(line, "floor") == 0) {
        state->floor = static_cast<uint64_t>(number);
    } else if (std::strcmp(line, "dirty") == 0) {
        state->dirty = number != 0;
    } else if (std::strcmp(line, "previous_generation") == 0) {
        state->previousGeneration = number;
    } else if (std::strcmp(line, "error_time") == 0) {
        state->errorTime = number;
    } else if (std::strcmp(line, "error_past") == 0) {
        state->errorPast = number != 0;
    } else {
        return false;
    }
    return true;
}

} // namespace

std::string ShipStatePath(const ShipConfig& config) {
    return config.bufferFile + ".versand";
}

void ShipStateNew(ShipState* state, const std::string& source) {
    *state = ShipState{};
    unsigned char random[8] = {};
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        // No entropy pool: the time and the process still differ between instances.
        const uint64_t mix =
            static_cast<uint64_t>(std::time(nullptr)) * 1000003u ^ static_cast<uint64_t>(getpid());
        std::memcpy(random, &mix, sizeof random);
    }
    for (std::size_t i = 0; i < sizeof random; ++i) {
        std::snprintf(state->instance + 2 * i, 3, "%02x", random[i]);
    }
    std::snprintf(state->source, sizeof state->source, "%s", source.c_str());
    state->generation = 1;
}

int ShipStateLoad(const std::string& path, ShipState* state, std::string* error) {
    // Only a state this user wrote is believed: one that another could
    // have written may move the position past records never shipped.
    int fd = -1;
    const int opened = ShipOpenOwn(path, O_RDONLY, &fd, error);
    if (opened <= 0) {
        return opened;
    }
    static char content[STATE_FILE_MAX + 1];
    ssize_t length = 0;
    for (;;) {
        const ssize_t got = read(fd, content + length, STATE_FILE_MAX - length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        length += got;
        if (length == STATE_FILE_MAX) {
            break;
        }
    }
    close(fd);
    content[length] = '\0';
    *state = ShipState{};
    char* line = content;
    bool header = false;
    while (*line != '\0') {
        char* end = std::strchr(line, '\n');
        if (end == nullptr || static_cast<std::size_t>(end - line) > STATE_LINE_MAX) {
            *error = "Zeile ohne Ende oder zu lang";
            return -1;
        }
        *end = '\0';
        if (!header) {
            header = std::strcmp(line, STATE_HEADER) == 0;
            if (!header) {
                *error = "keine Zustandsdatei von pelmor-ship";
                return -1;
            }
        } else if (!StateLine(line, state)) {
            *error = std::string("Zeile nicht verstanden: ") + line;
            return -1;
        }
        line = end + 1;
    }
    if (!header || std::strlen(state->instance) != 16 || state->source[0] == '\0' ||
        state->generation < 1) {
        *error = "unvollstaendig";
        return -1;
    }
    return 1;
}

int ShipStateSave(const std::string& path, const ShipState& state) {
    std::string text = std::string(STATE_HEADER) + "\n";
    char line[STATE_LINE_MAX];
    std::snprintf(line, sizeof line,
                  "instance %s\nsource %s\ngeneration %" PRId64 "\nposition %" PRId64
                  "\nfloor %" PRIu64 "\ndirty %d\n",
                  state.instance, state.source, state.generation, state.position, state.floor,
                  static_cast<int>(state.dirty));
    text += line;
    if (state.previousGeneration > 0) {
        std::snprintf(line, sizeof line, "previous_generation %" PRId64 "\nprevious_id %s\n",
                      state.previousGeneration, state.previousId);
        text += line;
        text += "previous_record ";
        for (unsigned char byte : state.previousRecord) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", byte);
            text += hex;
        }
        text += "\n";
    }
    if (state.errorTime > 0) {
        std::snprintf(line, sizeof line, "error_time %" PRId64 "\nerror %s\n", state.errorTime,
                      state.error);
        text += line;
        if (state.errorPast != 0) {
            text += "error_past 1\n";
        }
    }
    const std::string temporary = path + ".neu";
    // Made anew: a link or a FIFO left under this name is not followed.
    unlink(temporary.c_str());
    const int fd = open(temporary.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0640);
    if (fd < 0) {
        return 0;
    }
    const bool written = StateWriteAll(fd, text.data(), text.size()) && fdatasync(fd) == 0;
    if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return 0;
    }
    // The rename itself on the disk.
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return 1;
}

int ShipLock(const ShipConfig& config, bool take, long* holder, std::string* why) {
    const std::string path = ShipStatePath(config) + ".lock";
    int fd = -1;
    if (ShipOpenOwn(path, O_RDWR | O_CREAT, &fd, why) != 1) {
        return -1;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (take && fcntl(fd, F_SETLK, &lock) == 0) {
        return 1; // held until the process ends
    }
    if (take && errno != EACCES && errno != EAGAIN) {
        *why = path + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    lock.l_type = F_WRLCK;
    *holder = fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK ? lock.l_pid : 0;
    close(fd);
    return 0;
}

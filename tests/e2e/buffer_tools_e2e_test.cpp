// pelmorctl verify and records on buffer files made by the record encoder,
// whole and broken in the ways a buffer file breaks.
#include "e2e_support.h"

#include <cstring>
#include <fstream>
#include <functional>

#include <sys/stat.h>

#include "protocol/record.h"

namespace {

using E2eBufferTools = E2eTest;

constexpr std::size_t DISK = PELMOR_DISK_RECORD_LENGTH;
constexpr const char* STAMP = "20260507143005";

// One session's records as the receiver writes them, counter from 001, by
// the record encoder; every stamp is STAMP so the output is known.
std::string SessionBytes(const std::vector<std::string>& messages) {
    char prefix[RECORD_STAMP_AT];
    RecordEncodePrefix("192.168.001.005", 6664, prefix);
    std::string bytes;
    uint32_t counter = 0;
    for (const std::string& message : messages) {
        char record[DISK + 1];
        RecordEncode(prefix, STAMP, ++counter, message.c_str(), record);
        bytes.append(record, DISK);
    }
    return bytes;
}

std::vector<std::string> Messages(int count) {
    std::vector<std::string> messages;
    for (int i = 1; i <= count; ++i) {
        messages.push_back("Nachricht " + std::to_string(i));
    }
    return messages;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// The message of one JSON line back as bytes: \udcXX is byte XX, any other
// \uXXXX the code point in UTF-8.
std::string JsonMessageBytes(const std::string& line) {
    const std::string key = "\"message\": \"";
    std::size_t at = line.find(key);
    if (at == std::string::npos) {
        return "<no message>";
    }
    std::string bytes;
    for (at += key.size(); at < line.size() && line[at] != '"'; ++at) {
        if (line[at] != '\\') {
            bytes += line[at];
            continue;
        }
        static const char letters[] = "\"\\/bfnrt";
        static const char meanings[] = "\"\\/\b\f\n\r\t";
        const char escape = line[++at];
        const char* simple = std::strchr(letters, escape);
        if (escape != 'u' && simple != nullptr) {
            bytes += meanings[simple - letters];
            continue;
        }
        const unsigned code =
            static_cast<unsigned>(std::stoul(line.substr(at + 1, 4), nullptr, 16));
        at += 4;
        if (code >= 0xdc80 && code <= 0xdcff) {
            bytes += static_cast<char>(code - 0xdc00);
        } else if (code < 0x80) {
            bytes += static_cast<char>(code);
        } else {
            return "<unexpected escape>";
        }
    }
    return bytes;
}

// Which column of a record is broken is the decoder's to tell (its own
// tests); here verify names it with record and offset, and follows sessions.
TEST_F(E2eBufferTools, VerifyNamesEachFaultWithRecordAndOffset) {
    // 1001 records run the counter through 999, 000 to 001; then a new session.
    const std::string clean = SessionBytes(Messages(1001)) + SessionBytes(Messages(2));
    auto put = [](std::string bytes, std::size_t at, const std::string& text) {
        return bytes.replace(at, text.size(), text);
    };
    const struct {
        const char* name;
        std::string bytes;
        int exitCode;
        std::vector<std::string> lines;
    } cases[] = {
        {"clean",
         clean,
         0,
         {"Saetze:       1003\n", "Sitzungen:    2\n",
          "Zeitraum:     2026-05-07 14:30:05 bis 2026-05-07 14:30:05\n", "Probleme:     keine\n"}},
        {"zero stamp and range",
         put(put(clean, RECORD_STAMP_AT, RECORD_ZERO_STAMP), DISK + RECORD_STAMP_AT,
             "19991231235959"),
         0,
         {"Zeitraum:     1999-12-31 23:59:59 bis 2026-05-07 14:30:05\n", "Ohne Zeit:    1\n"}},
        {"torn tail",
         clean + clean.substr(0, 100),
         1,
         {"Satz 1004 (Byte 553656): unvollstaendig, 100 von 552 Bytes am Dateiende\n",
          "Saetze:       1003\n", "Probleme:     1\n"}},
        {"mark", put(clean, 0, "#"), 1, {"Satz 1 (Byte 0): erstes Byte ist nicht $\n"}},
        {"counter jump",
         clean.substr(0, 4 * DISK) + clean.substr(6 * DISK),
         1,
         {"Satz 5 (Byte 2208): Zaehler 007 nach 004 (erwartet 005 oder 001)\n",
          "Saetze:       1001\n", "Probleme:     1\n"}},
        {"file taken over inside a session",
         clean.substr(DISK),
         0,
         {"Sitzungen:    2\nDateianfang:  mitten in einer Sitzung (Zaehler 002)\n",
          "Probleme:     keine\n"}},
        {"empty", "", 0, {"Saetze:       0\n", "Zeitraum:     keiner\n", "Probleme:     keine\n"}},
    };
    for (const auto& c : cases) {
        WriteBytes(PathOf("PELMOR.BUF"), c.bytes);
        ToolRun run = RunPelmorctl({"verify", "PELMOR.BUF"});
        EXPECT_EQ(run.exitCode, c.exitCode) << c.name << "\n" << run.out << run.err;
        for (const std::string& line : c.lines) {
            EXPECT_NE(run.out.find(line), std::string::npos) << c.name << ": " << line << run.out;
        }
    }

    std::string many = clean;
    for (std::size_t record = 0; record < 25; ++record) {
        many[record * DISK] = '#';
    }
    WriteBytes(PathOf("PELMOR.BUF"), many);
    ToolRun run = RunPelmorctl({"verify", "PELMOR.BUF"});
    EXPECT_EQ(E2eCount(run.out, "erstes Byte ist nicht $"), 20) << run.out;
    EXPECT_NE(run.out.find("... und 5 weitere Probleme\nSaetze:"), std::string::npos) << run.out;
}

TEST_F(E2eBufferTools, RecordsJsonGivesBackEveryMessageByte) {
    const std::vector<std::string> messages = {
        "quote \" backslash \\ CR \r LF \n tab \t bell \x07 del \x7f",
        "latin-1 \xfc\xe4, lone \x80, cut \xe2\x82, surrogate \xed\xa0\x80, beyond "
        "\xf4\x90\x80\x80",
        "UTF-8 \xc3\xbc \xe2\x82\xac \xf0\x9f\x98\x80",
        "trailing blanks go   ",
    };
    std::string bytes = SessionBytes(messages);
    bytes.replace(3 * DISK + RECORD_STAMP_AT, RECORD_STAMP_WIDTH, RECORD_ZERO_STAMP);
    bytes += SessionBytes({"broken"}).replace(RECORD_PORT_AT, 1, "-");
    bytes += SessionBytes({"after the broken one"});
    WriteBytes(PathOf("PELMOR.BUF"), bytes);

    ToolRun run = RunPelmorctl({"records", "PELMOR.BUF", "--json"});
    EXPECT_EQ(run.exitCode, 1) << "a broken record was skipped";
    EXPECT_EQ(run.err, "pelmorctl: Satz 5 (Byte 2208) uebersprungen: Port nicht aus 5 Ziffern\n");
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos;
         at = end + 1) {
        lines.push_back(run.out.substr(at, end - at));
    }
    ASSERT_EQ(lines.size(), 5u) << run.out;
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(JsonMessageBytes(lines[i]), messages[i]) << lines[i];
    }
    EXPECT_EQ(lines[1].find("\\udcfc"), lines[1].find("latin-1 ") + 8) << "the byte, not U+00FC";
    EXPECT_EQ(lines[3], "{\"n\": 4, \"ip\": \"192.168.1.5\", \"port\": 6664, \"time\": null, "
                        "\"seq\": 4, \"message\": \"trailing blanks go\"}");
    EXPECT_EQ(lines[4].rfind("{\"n\": 6, \"ip\": \"192.168.1.5\", \"port\": 6664, "
                             "\"time\": \"2026-05-07T14:30:05\", \"seq\": 1, ",
                             0),
              0u)
        << lines[4];

    ToolRun window =
        RunPelmorctl({"records", "--count", "1", "PELMOR.BUF", "--from", "2", "--json"});
    EXPECT_EQ(window.exitCode, 0);
    EXPECT_EQ(E2eCount(window.out, "\n"), 1);
    EXPECT_EQ(window.out.find("{\"n\": 2, "), 0u) << window.out;
}

TEST_F(E2eBufferTools, RecordsCsvQuotesByRfc4180AndTextStaysOneLinePerRecord) {
    std::string bytes = SessionBytes({"plain", "a,b", "say \"hi\"", "two\r\nlines \xff"});
    bytes.replace(3 * DISK + RECORD_COUNTER_AT, RECORD_COUNTER_DIGITS, "045"); // two digits
    WriteBytes(PathOf("PELMOR.BUF"), bytes + std::string(10, '$'));
    ToolRun csv = RunPelmorctl({"records", "PELMOR.BUF", "--csv"});
    EXPECT_EQ(csv.exitCode, 1);
    EXPECT_EQ(csv.out, "n,ip,port,time,seq,message\r\n"
                       "1,192.168.1.5,6664,2026-05-07T14:30:05,1,plain\r\n"
                       "2,192.168.1.5,6664,2026-05-07T14:30:05,2,\"a,b\"\r\n"
                       "3,192.168.1.5,6664,2026-05-07T14:30:05,3,\"say \"\"hi\"\"\"\r\n"
                       "4,192.168.1.5,6664,2026-05-07T14:30:05,45,\"two\r\nlines \xff\"\r\n");
    EXPECT_EQ(csv.err, "pelmorctl: Satz 5 (Byte 2208) unvollstaendig, 10 von 552 Bytes; "
                       "uebersprungen\n");

    ToolRun text = RunPelmorctl({"records", "PELMOR.BUF", "--from", "4"});
    EXPECT_EQ(text.out, "4  192.168.1.5  6664  2026-05-07 14:30:05  045  two\\r\\nlines \\xff\n");
}

TEST_F(E2eBufferTools, OnlyRegularFilesAreRead) {
    ASSERT_EQ(mkfifo(PathOf("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(PathOf("folder").c_str(), 0700), 0);
    for (const char* path : {"fifo", "folder", "/dev/zero", "missing.buf"}) {
        for (const char* command : {"verify", "records"}) {
            ToolRun run = RunPelmorctl({command, path});
            EXPECT_EQ(run.exitCode, 2) << command << " " << path;
            EXPECT_EQ(run.err, std::string("pelmorctl: ") + path +
                                   " nicht lesbar (fehlt, keine Leserechte oder keine regulaere "
                                   "Datei)\n");
            EXPECT_EQ(run.out, "");
        }
    }
}

} // namespace

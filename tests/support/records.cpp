#include "support/records.h"

#include "protocol/record.h"

namespace {

std::string SupportColumn(const std::string& record, int32_t at, int32_t width) {
    const std::size_t from = static_cast<std::size_t>(at);
    return from < record.size() ? record.substr(from, static_cast<std::size_t>(width)) : "";
}

} // namespace

SupportRecord SupportRecordColumns(const std::string& record) {
    return {SupportColumn(record, RECORD_MARK_AT, 1),
            SupportColumn(record, RECORD_IP_AT, RECORD_IP_WIDTH),
            SupportColumn(record, RECORD_PORT_AT, RECORD_PORT_DIGITS),
            SupportColumn(record, RECORD_STAMP_AT, RECORD_STAMP_WIDTH),
            SupportColumn(record, RECORD_COUNTER_AT, RECORD_COUNTER_DIGITS),
            SupportColumn(record, RECORD_MESSAGE_AT, RECORD_MESSAGE_WIDTH),
            SupportColumn(record, RECORD_LINE_END_AT, 2)};
}

std::vector<SupportRecord> SupportRecordsOf(const std::string& content) {
    constexpr std::size_t length = PELMOR_DISK_RECORD_LENGTH;
    std::vector<SupportRecord> records;
    for (std::size_t at = 0; at + length <= content.size(); at += length) {
        records.push_back(SupportRecordColumns(content.substr(at, length)));
    }
    return records;
}

std::string SupportRecordMessage(const SupportRecord& record) {
    const std::size_t end = record.message.find_last_not_of(' ');
    return end == std::string::npos ? "" : record.message.substr(0, end + 1);
}

std::string SupportPaddedMessage(const std::string& text) {
    return text + std::string(static_cast<std::size_t>(RECORD_MESSAGE_WIDTH) - text.size(), ' ');
}

std::string SupportRecordStamp(std::time_t when) {
    char stamp[RECORD_STAMP_WIDTH + 1] = "";
    const std::tm* local = std::localtime(&when);
    if (local != nullptr) {
        std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", local);
    }
    return stamp;
}

#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// What a batch's supervisor and its encoder workers say to each other, on two
// pipes the supervisor made for each worker: requests on the worker's standard
// input, replies on its descriptor 3. Each message is a record of two fields,
// each ended by a NUL byte, so that any path fits and a record cut across
// reads is put back together:
//   request  INDEX \0 PATH \0     encode PATH, the batch's file INDEX
//   reply    INDEX \0 STATUS \0   done, with the status `pixveil PATH` ends with
// The end of the request pipe tells the worker to end.
namespace workerProtocol {

// The worker's descriptor for replies; its requests come on standard input.
inline constexpr int replyDescriptor = 3;
// The longest field a reader takes: a path fits with room to spare; anything
// longer is garbage, not a message.
inline constexpr std::size_t longestField = 4096;

std::string encodeRequest(std::size_t index, const std::string& path);
std::string encodeReply(std::size_t index, int status);

struct request {
    std::size_t index;
    std::string path;
};

struct reply {
    std::size_t index;
    int status;
};

// Collects records from bytes read in pieces of any size. A reader is
// spoiled for good by a field that is too long, and the parsers below by a
// field that is not what it must be.
class recordReader {
public:
    // Adds bytes read from the pipe; false once the stream is spoiled.
    bool add(const char* bytes, std::size_t length);
    // The next whole record of two fields, if one is complete.
    std::optional<std::pair<std::string, std::string>> next();
    // Whether bytes of an unfinished record are waiting.
    bool holdsPartOfARecord() const;

private:
    std::string pending;
    bool spoiled = false;
};

// A record read as a request or a reply; nothing when its fields are not a
// decimal index and a path or a status from 0 to 255.
std::optional<request> readRequest(const std::pair<std::string, std::string>& record);
std::optional<reply> readReply(const std::pair<std::string, std::string>& record);

} // namespace workerProtocol

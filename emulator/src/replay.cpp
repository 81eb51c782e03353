#include "replay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>
#include <tuple>

#include <fmt/format.h>

#include "binary.h"
#include "frames.h"

namespace qx_emulator {

// An open recording file, read with pread so that several streams can share it.
class RecordingFile {
public:
    explicit RecordingFile(int fd) : fd_(fd) {}
    ~RecordingFile() { ::close(fd_); }
    RecordingFile(const RecordingFile&) = delete;
    RecordingFile& operator=(const RecordingFile&) = delete;

    // Reads up to `size` bytes at `offset`; fewer only at the end of the file. -1 on an error.
    long long read_at(std::uint64_t offset, void* into, std::size_t size) const {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t count = ::pread(fd_, static_cast<char*>(into) + done, size - done,
                                          static_cast<off_t>(offset + done));
            if (count < 0 && errno == EINTR) continue;
            if (count < 0) return -1;
            if (count == 0) break;
            done += static_cast<std::size_t>(count);
        }
        return static_cast<long long>(done);
    }

private:
    const int fd_;
};

namespace {

constexpr char kMagic[8] = {'Q', 'X', 'R', 'E', 'C', 'O', 'R', 'D'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kFileHeaderBytes = 16;
constexpr std::size_t kRecordHeaderBytes = 8;  // type, payload length
constexpr std::size_t kRecordTrailerBytes = 4;  // CRC-32
constexpr std::size_t kFrameHeaderBytes = limits::kRecordingFrameHeaderBytes;
constexpr std::uint32_t kMaxOtherPayload = limits::kRecordingOtherPayload;
constexpr std::uint32_t kMaxFramePayload = limits::kRecordingFramePayload;
constexpr std::size_t kMaxFrames = limits::kRecordingFrames;
constexpr std::size_t kMaxTracks = limits::kRecordingFormats;
constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr std::uint64_t kMaxGap = 3600ull * kNanosecondsPerSecond;

struct Refusal {
    std::string problem;
};

[[noreturn]] void refuse(std::string problem) {
    throw Refusal{std::move(problem)};
}

std::uint64_t le64_at(const std::string& bytes, std::size_t offset) {
    return static_cast<std::uint64_t>(le32_at(bytes, offset)) | static_cast<std::uint64_t>(le32_at(bytes, offset + 4))
                                                                     << 32;
}

struct FrameHeader {
    FormatConfig format;
    std::uint64_t sequence;
    std::int64_t hostTime;
};

FrameHeader frame_header(const std::string& bytes, std::uint64_t at, std::uint32_t dataLength) {
    std::string name = bytes.substr(0, 8);
    name.resize(std::strlen(name.c_str()));
    std::optional<QX_IMAGE_FORMAT> format = format_named(name);
    if (!format || *format == QX_IMAGE_FORMAT::QX_IMAGE_FORMAT_NONE)
        refuse(fmt::format("frame at offset {} has an unknown pixel format", at));
    FrameHeader header{{*format, static_cast<int>(le16_at(bytes, 8)), static_cast<int>(le16_at(bytes, 10)),
                        static_cast<int>(le16_at(bytes, 12))},
                       le64_at(bytes, 16), static_cast<std::int64_t>(le64_at(bytes, 24))};
    const FormatConfig& f = header.format;
    const std::string sizeProblem = size_problem(f.format, f.width, f.height);
    if (!sizeProblem.empty()) refuse(fmt::format("frame at offset {}: {}", at, sizeProblem));
    if (f.framerate < 1 || f.framerate > kMaxFramerate)
        refuse(fmt::format("frame at offset {}: frame rate {} is outside 1 .. {}", at, f.framerate, kMaxFramerate));
    const std::size_t raw = raw_frame_size(f.format, f.width, f.height);
    // A JPEG is never longer than the three bytes per pixel callers' buffers hold.
    const bool fits = raw != 0 ? dataLength == raw
                               : dataLength > 0 && dataLength <= static_cast<std::size_t>(f.width) * f.height * 3;
    if (!fits) {
        refuse(fmt::format("frame at offset {}: {} bytes do not make a {} {}x{} frame", at, dataLength,
                           format_name(f.format), f.width, f.height));
    }
    return header;
}

}  // namespace

ReplayTrack::ReplayTrack(std::shared_ptr<const RecordingFile> file, FormatConfig format)
    : file_(std::move(file)), format_(format), period_(kNanosecondsPerSecond / format.framerate) {}

void ReplayTrack::add(std::uint64_t offset, std::uint32_t length, std::uint64_t sequence, std::int64_t hostTime) {
    std::int64_t time = 0;
    if (!frames_.empty()) {
        // A new stream (its sequence starts again) or a clock that went back: one frame period
        // instead of whatever passed while another format streamed. A gap is at most an hour.
        const bool continues = sequence > lastSequence_ && hostTime >= lastHostTime_;
        const std::uint64_t gap = static_cast<std::uint64_t>(hostTime) - static_cast<std::uint64_t>(lastHostTime_);
        time = frames_.back().time +
               (continues ? static_cast<std::int64_t>(std::min<std::uint64_t>(gap, kMaxGap)) : period_);
    }
    frames_.push_back({offset, length, time});
    lastSequence_ = sequence;
    lastHostTime_ = hostTime;
}

void ReplayTrack::finish() {
    passLength_ = frames_.back().time + period_;
}

std::int64_t ReplayTrack::time_of(std::uint64_t number) const {
    const std::uint64_t n = frames_.size();
    return static_cast<std::int64_t>(number / n) * passLength_ + frames_[number % n].time;
}

std::size_t ReplayTrack::read(std::uint64_t number, unsigned char* destination) const {
    const Frame& frame = frames_[number % frames_.size()];
    if (file_->read_at(frame.offset, destination, frame.length) != static_cast<long long>(frame.length))
        throw std::runtime_error(fmt::format("cannot read the recorded frame at offset {}", frame.offset));
    return frame.length;
}

std::shared_ptr<const Recording> Recording::open(const std::string& path, std::string& problem,
                                                 std::string& warning) {
    problem.clear();
    warning.clear();
    if (path.find('\0') != std::string::npos) {
        problem = "the path contains a NUL byte";
        return nullptr;
    }
    // Non-blocking, so that a FIFO without a writer is refused below instead of waited for.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        problem = fmt::format("cannot open {}: {}", path, std::strerror(errno));
        return nullptr;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        problem = fmt::format("{} is not a regular file", path);
        return nullptr;
    }
    const auto file = std::make_shared<const RecordingFile>(fd);
    auto recording = std::shared_ptr<Recording>(new Recording());
    try {
        std::string head(kFileHeaderBytes, '\0');
        const long long got = file->read_at(0, head.data(), head.size());
        if (got < 0) refuse(fmt::format("cannot read {}: {}", path, std::strerror(errno)));
        if (got < static_cast<long long>(sizeof kMagic) || head.compare(0, sizeof kMagic, kMagic, sizeof kMagic) != 0)
            refuse(fmt::format("{} is not a recording", path));
        if (got < static_cast<long long>(kFileHeaderBytes)) refuse(fmt::format("{} ends inside its header", path));
        const std::uint32_t version = le32_at(head, 8);
        if (version != kVersion) {
            refuse(fmt::format("{} is a recording of format version {}; this library reads version {}", path, version,
                               kVersion));
        }

        std::map<std::tuple<QX_IMAGE_FORMAT, int, int, int>, std::shared_ptr<ReplayTrack>> byFormat;
        std::size_t frames = 0;
        std::uint64_t at = kFileHeaderBytes;
        std::string record;
        std::vector<char> chunk(1 << 20);
        for (;;) {
            std::string header(kRecordHeaderBytes, '\0');
            const long long headerBytes = file->read_at(at, header.data(), header.size());
            if (headerBytes == 0) break;
            if (headerBytes != static_cast<long long>(kRecordHeaderBytes)) {
                warning = fmt::format("{} is cut short inside the record at offset {}", path, at);
                break;
            }
            const bool isFrame = header.compare(0, 4, "FRAM") == 0;
            const std::uint32_t length = le32_at(header, 4);
            if (length > (isFrame ? kMaxFramePayload : kMaxOtherPayload)) {
                refuse(fmt::format("record at offset {} holds {} bytes, more than the {} a {} may have", at, length,
                                   isFrame ? kMaxFramePayload : kMaxOtherPayload,
                                   isFrame ? "frame" : "record of its kind"));
            }
            if (isFrame && length < kFrameHeaderBytes)
                refuse(fmt::format("frame at offset {} is shorter than a frame header", at));

            // Checks the record's CRC, keeping only the frame header (or the whole of a small record).
            std::uint32_t crc = crc32(header.data(), header.size());
            const std::size_t keep = isFrame ? kFrameHeaderBytes : 0;
            record.assign(keep, '\0');
            std::uint64_t done = 0;
            bool complete = true;
            while (done < length) {
                const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), length - done));
                const long long count = file->read_at(at + kRecordHeaderBytes + done, chunk.data(), want);
                if (count < 0) refuse(fmt::format("cannot read {}: {}", path, std::strerror(errno)));
                if (count == 0) {
                    complete = false;
                    break;
                }
                if (done < keep) std::memcpy(record.data() + done, chunk.data(), std::min<std::uint64_t>(keep - done, count));
                crc = crc32(chunk.data(), static_cast<std::size_t>(count), crc);
                done += static_cast<std::uint64_t>(count);
            }
            std::string trailer(kRecordTrailerBytes, '\0');
            if (!complete ||
                file->read_at(at + kRecordHeaderBytes + length, trailer.data(), trailer.size()) !=
                    static_cast<long long>(kRecordTrailerBytes)) {
                warning = fmt::format("{} is cut short inside the record at offset {}", path, at);
                break;
            }
            if (le32_at(trailer, 0) != crc) {
                warning = fmt::format("{} is damaged at offset {} (the record's CRC-32 does not match)", path, at);
                break;
            }
            if (isFrame) {
                const std::uint32_t dataLength = length - static_cast<std::uint32_t>(kFrameHeaderBytes);
                const FrameHeader f = frame_header(record, at, dataLength);
                if (frames == kMaxFrames) refuse(fmt::format("{} holds more than {} frames", path, kMaxFrames));
                auto& track = byFormat[{f.format.format, f.format.width, f.format.height, f.format.framerate}];
                if (!track) {
                    if (recording->tracks_.size() == kMaxTracks)
                        refuse(fmt::format("{} holds more than {} formats", path, kMaxTracks));
                    track = std::make_shared<ReplayTrack>(file, f.format);
                    recording->tracks_.push_back(track);
                }
                track->add(at + kRecordHeaderBytes + kFrameHeaderBytes, dataLength, f.sequence, f.hostTime);
                ++frames;
            }
            at += kRecordHeaderBytes + length + kRecordTrailerBytes;
        }
        if (frames == 0) refuse(fmt::format("{} holds no complete frame", path));
        for (const auto& track : recording->tracks_) track->finish();
    } catch (const Refusal& refusal) {
        problem = refusal.problem;
        return nullptr;
    } catch (const std::bad_alloc&) {
        problem = fmt::format("not enough memory to index {}", path);
        return nullptr;
    }
    return recording;
}

std::vector<FormatConfig> Recording::formats() const {
    std::vector<FormatConfig> formats;
    for (const auto& track : tracks_) formats.push_back(track->format());
    return formats;
}

std::shared_ptr<const ReplayTrack> Recording::track(const FormatConfig& format) const {
    for (const auto& track : tracks_) {
        if (track->format() == format) return track;
    }
    throw std::out_of_range(fmt::format("the recording holds no {} {}x{} frames at {} fps", format_name(format.format),
                                        format.width, format.height, format.framerate));
}

std::size_t Recording::frame_count() const {
    std::size_t count = 0;
    for (const auto& track : tracks_) count += track->size();
    return count;
}

}  // namespace qx_emulator

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
#include "text.h"
#include "yaml_input.h"

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
// Version 1 holds one camera, version 2 several (a camera number in frames and IMU samples).
constexpr std::uint32_t kLatestVersion = 2;
constexpr std::size_t kFileHeaderBytes = 16;
constexpr std::size_t kRecordHeaderBytes = 8;  // type, payload length
constexpr std::size_t kRecordTrailerBytes = 4;  // CRC-32
constexpr std::size_t kFrameHeaderBytes = limits::kRecordingFrameHeaderBytes;
constexpr std::uint32_t kMaxOtherPayload = limits::kRecordingOtherPayload;
constexpr std::uint32_t kMaxFramePayload = limits::kRecordingFramePayload;
constexpr std::size_t kMaxFrames = limits::kRecordingFrames;
constexpr std::size_t kMaxTracks = limits::kRecordingFormats;
constexpr std::size_t kMaxCameras = limits::kRecordingCameras;
constexpr std::uint32_t kImuBytes = 56;  // version 2 appends the camera number (u32)
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

// The INFO record's object: the number of cameras it lists (version 2; 0 when the list is
// missing, empty, too long or not JSON) and what it says about camera `camera`.
struct RecordedInfo {
    std::size_t cameras = 0;
    RecordedCamera camera;
};

// The mapping under `key` of `node`, or an undefined node. Read without operator[], which would
// add the key to a mapping that lacks it.
YAML::Node member(const YAML::Node& node, const char* key) {
    if (node.IsMap()) {
        for (const auto& entry : node) {
            if (entry.first.IsScalar() && entry.first.Scalar() == key) return entry.second;
        }
    }
    return YAML::Node(YAML::NodeType::Undefined);
}

std::optional<std::string> recorded_text(const YAML::Node& object, const char* key) {
    const YAML::Node value = member(object, key);
    if (!value.IsScalar() || value.Scalar().empty() || !valid_utf8(value.Scalar())) return std::nullopt;
    return value.Scalar();
}

RecordedInfo recorded_info(const std::string& json, bool several, std::size_t camera) {
    RecordedInfo info;
    YAML::Node root;
    try {
        root = load_one_document(json);  // JSON is YAML
    } catch (const YAML::Exception&) {
        return info;
    }
    YAML::Node object = member(root, "camera");
    if (several) {
        const YAML::Node list = member(root, "cameras");
        if (!list.IsSequence() || list.size() == 0 || list.size() > kMaxCameras) return info;
        info.cameras = list.size();
        object = camera < list.size() ? member(list[camera], "camera") : YAML::Node(YAML::NodeType::Undefined);
    }
    RecordedCamera& c = info.camera;
    c.name = recorded_text(object, "name");
    c.path = recorded_text(object, "path");
    c.hardwareId = recorded_text(object, "hardware_id");
    c.interface = recorded_text(object, "interface");
    c.product = recorded_text(object, "product");
    c.usbSpeed = recorded_text(object, "usb_speed");
    c.isp = recorded_text(object, "isp");
    const auto imu = recorded_text(object, "imu");
    if (imu == "true" || imu == "false") c.imu = imu == "true";
    return info;
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

std::shared_ptr<const Recording> Recording::open(const std::string& path, std::size_t camera,
                                                 std::string& problem, std::string& warning) {
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
        if (version != 1 && version != kLatestVersion) {
            refuse(fmt::format("{} is a recording of format version {}; this library reads versions 1 and {}", path,
                               version, kLatestVersion));
        }
        const bool several = version == kLatestVersion;
        // Version 1 holds one camera; version 2 lists its cameras in the INFO record it begins with.
        std::size_t cameras = several ? 0 : 1;
        const auto cameraCountKnown = [&] {
            if (cameras == 0) {
                refuse(fmt::format("{}: a recording of format version 2 must begin with an INFO record listing its "
                                   "cameras (1 to {})", path, kMaxCameras));
            }
        };
        const auto checkCamera = [&](std::uint64_t number, std::uint64_t at, const char* what) {
            cameraCountKnown();
            if (number >= cameras) {
                refuse(fmt::format("{} at offset {} is of camera {}; {} holds {} camera(s)", what, at, number, path,
                                   cameras));
            }
        };

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
            const bool isInfo = at == kFileHeaderBytes && header.compare(0, 4, "INFO") == 0;
            const bool isImu = several && header.compare(0, 4, "IMU ") == 0;
            const std::uint32_t length = le32_at(header, 4);
            if (length > (isFrame ? kMaxFramePayload : kMaxOtherPayload)) {
                refuse(fmt::format("record at offset {} holds {} bytes, more than the {} a {} may have", at, length,
                                   isFrame ? kMaxFramePayload : kMaxOtherPayload,
                                   isFrame ? "frame" : "record of its kind"));
            }
            if (isFrame && length < kFrameHeaderBytes)
                refuse(fmt::format("frame at offset {} is shorter than a frame header", at));
            if (isImu && length != kImuBytes && length != kImuBytes + 4)
                refuse(fmt::format("IMU record at offset {} holds {} bytes, not {} or {}", at, length, kImuBytes,
                                   kImuBytes + 4));

            // Checks the record's CRC, keeping the frame header, or the whole of a record read here.
            std::uint32_t crc = crc32(header.data(), header.size());
            const std::size_t keep = isFrame ? kFrameHeaderBytes : isInfo || isImu ? length : 0;
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
            if (isInfo) {
                const RecordedInfo info = recorded_info(record, several, camera);
                if (several && info.cameras == 0) {
                    refuse(fmt::format("{}: the INFO record does not list the recording's cameras (1 to {})", path,
                                       kMaxCameras));
                }
                cameras = several ? info.cameras : 1;
                recording->camera_ = info.camera;
            } else if (isFrame) {
                const std::uint32_t dataLength = length - static_cast<std::uint32_t>(kFrameHeaderBytes);
                const FrameHeader f = frame_header(record, at, dataLength);
                if (frames == kMaxFrames) refuse(fmt::format("{} holds more than {} frames", path, kMaxFrames));
                ++frames;
                const std::size_t number = several ? le16_at(record, 14) : 0;
                checkCamera(number, at, "frame");
                if (number == camera) {
                    auto& track = byFormat[{f.format.format, f.format.width, f.format.height, f.format.framerate}];
                    if (!track) {
                        if (recording->tracks_.size() == kMaxTracks)
                            refuse(fmt::format("{} holds more than {} formats", path, kMaxTracks));
                        track = std::make_shared<ReplayTrack>(file, f.format);
                        recording->tracks_.push_back(track);
                    }
                    track->add(at + kRecordHeaderBytes + kFrameHeaderBytes, dataLength, f.sequence, f.hostTime);
                }
            } else if (isImu) {
                checkCamera(length == kImuBytes ? 0 : le32_at(record, kImuBytes), at, "IMU record");
            }
            at += kRecordHeaderBytes + length + kRecordTrailerBytes;
        }
        cameraCountKnown();
        recording->cameraCount_ = cameras;
        if (camera >= cameras) {
            refuse(fmt::format("{} holds {} camera(s), numbered from 0; there is no camera {}", path, cameras,
                               camera));
        }
        if (recording->tracks_.empty()) {
            refuse(several ? fmt::format("{} holds no complete frame of camera {}", path, camera)
                           : fmt::format("{} holds no complete frame", path));
        }
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

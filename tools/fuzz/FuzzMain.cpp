// The fuzzer, built with the undefined-behaviour checks trapping and the library's
// bounds checks on:
//  - the image reader on mutated image files, checked against a plain model of what it
//    must accept and take;
//  - the reply dispatch on random frames of every length in every session state, each
//    frame ending right at an unreadable page so a read past it faults at once; a
//    session must never finish without having sent the whole image in order, must send
//    nothing once it has ended, and its progress must never go back.
//
//   KestrixFuzz [--images N] [--frames N] [--seed S]
//
// Exits 0 when every check held, 1 with the case that broke one.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include "TakingReceiver.h"
#include "link/Frames.h"
#include "link/Hid.h"
#include "support/FakeSessionView.h"
#include "support/GuardedBytes.h"
#include "update/UpdateSession.h"

namespace {

class Random {
public:
    explicit Random(std::uint64_t seed) : m_nState(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (m_nState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }
    std::uint8_t Byte() { return static_cast<std::uint8_t>(Next()); }

private:
    std::uint64_t m_nState;
};

int g_nFailures = 0;
void Fail(const std::string& what) {
    if (++g_nFailures <= 10)
        printf("BROKEN: %s\n", what.c_str());
}

std::vector<std::uint8_t> Image(std::uint32_t dataLength, std::uint32_t dataBytes, Random& random) {
    std::vector<std::uint8_t> bytes(28 + dataBytes);
    for (auto& b : bytes)
        b = random.Byte();
    std::memcpy(&bytes[8], &dataLength, 4);
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f) {
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
}

// --- The image reader ------------------------------------------------------------------

// What the reader must make of these bytes, said plainly.
ImageCheck Expected(const std::vector<std::uint8_t>& bytes, std::size_t* used) {
    if (bytes.size() < 28)
        return ImageCheck::TooShort;
    std::uint32_t length;
    std::memcpy(&length, &bytes[8], 4);
    if (length == 0)
        return ImageCheck::NoData;
    if (length > 16u * 1024 * 1024)
        return ImageCheck::TooLarge;
    if (bytes.size() - 28 < length)
        return ImageCheck::MissingData;
    const std::size_t whole = static_cast<std::size_t>(WholeBlockBytes(length));
    *used = std::min(bytes.size() - 28, whole);
    return ImageCheck::Ok;
}

std::vector<std::uint8_t> Mutate(Random& random) {
    const std::uint32_t shape = random.Below(10);
    std::uint32_t length = shape == 0 ? random.Below(64) : random.Below(400);
    std::uint32_t data = length + (random.Below(2) ? random.Below(70) : 0);
    std::vector<std::uint8_t> bytes = Image(length, data, random);
    // Truncate anywhere, flip bytes, or set DataLength to a value at an edge.
    switch (random.Below(5)) {
    case 0:
        bytes.resize(random.Below(static_cast<std::uint32_t>(bytes.size()) + 1));
        break;
    case 1:
        for (int flips = 1 + random.Below(4); flips--;)
            if (!bytes.empty())
                bytes[random.Below(static_cast<std::uint32_t>(bytes.size()))] ^=
                    static_cast<std::uint8_t>(1u << random.Below(8));
        break;
    case 2: {
        const std::uint32_t edges[] = {0,
                                       1,
                                       31,
                                       32,
                                       33,
                                       static_cast<std::uint32_t>(bytes.size()) - 28,
                                       static_cast<std::uint32_t>(bytes.size()) - 27,
                                       16u * 1024 * 1024,
                                       16u * 1024 * 1024 + 1,
                                       0x7FFFFFFF,
                                       0xFFFFFFE0,
                                       0xFFFFFFFF};
        const std::uint32_t edge = edges[random.Below(sizeof(edges) / sizeof(edges[0]))];
        if (bytes.size() >= 12)
            std::memcpy(&bytes[8], &edge, 4);
        break;
    }
    default:
        break; // left whole
    }
    return bytes;
}

void CheckImage(const std::vector<std::uint8_t>& bytes, ImageCheck got, const FirmwareImage& image,
                const char* how, std::uint64_t index) {
    std::size_t used = 0;
    const ImageCheck expected = Expected(bytes, &used);
    bool ok = got == expected;
    if (ok && got == ImageCheck::Ok)
        ok = std::memcmp(&image.Header, bytes.data(), 28) == 0 && image.Data.size() == used &&
             std::equal(image.Data.begin(), image.Data.end(), bytes.begin() + 28);
    if (!ok)
        Fail(std::string(how) + " image " + std::to_string(index) + " of " +
             std::to_string(bytes.size()) + " bytes: result " + std::to_string(int(got)) +
             ", expected " + std::to_string(int(expected)));
}

void FuzzImages(std::uint64_t count, std::uint64_t seed) {
    Random random(seed);
    wchar_t dir[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, dir);
    const std::wstring path = std::wstring(dir) + L"kestrix-fuzz.dat";
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::vector<std::uint8_t> bytes = Mutate(random);
        FirmwareImage image;
        // Every image through the parser; one in fifty also as a file on disk.
        const ImageCheck parsed = ParseFirmwareImage(bytes.data(), bytes.size(), &image);
        CheckImage(bytes, parsed, image, "parsed", i);
        if (i % 50 == 0) {
            WriteFileBytes(path, bytes);
            FirmwareImage loaded;
            CheckImage(bytes, LoadFirmwareImage(path, &loaded), loaded, "loaded", i);
        }
    }
    DeleteFileW(path.c_str());
}

// --- The reply dispatch ------------------------------------------------------------------

// Frames as a receiver might send them, in every length a report can carry, biased
// towards the bytes the dispatch looks at.
std::vector<std::uint8_t> RandomFrame(Random& random) {
    std::vector<std::uint8_t> frame(random.Below(64)); // 0..63 bytes
    for (auto& b : frame)
        b = random.Byte();
    const std::uint8_t types[] = {REPLY_READY, FRAME_LINK, FRAME_LINK, REPLY_ACK, 0x04};
    const std::uint8_t subs[] = {SUB_VERSION,   SUB_DATA_REQUEST, SUB_DATA_REQUEST,
                                 SUB_FAILURE_1, SUB_FAILURE_2,    ACK_UPDATE_DONE};
    if (!frame.empty() && random.Below(4))
        frame[0] = 0x00;
    if (frame.size() > 1 && random.Below(5))
        frame[1] = types[random.Below(sizeof(types))];
    if (frame.size() > 4 && random.Below(5))
        frame[4] = subs[random.Below(sizeof(subs))];
    return frame;
}

struct StateImage {
    SessionPhase Phase;
    std::uint32_t DataLength; // the image the session sends in that state
};

class DispatchFuzzer {
public:
    explicit DispatchFuzzer(std::uint64_t seed) : m_Random(seed) {
        wchar_t dir[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, dir);
        m_Folder = dir;
    }

    void Run(std::uint64_t frames) {
        // Each state with an image that keeps it going a while: many blocks for Sending,
        // one for the state that waits for the finishing request.
        const StateImage states[] = {
            {SessionPhase::Starting, 40},     {SessionPhase::WaitingReady, 40},
            {SessionPhase::HeaderSent, 4000}, {SessionPhase::Sending, 8000},
            {SessionPhase::DataDone, 20},     {SessionPhase::Ended, 40}};
        for (const StateImage& state : states) {
            const std::uint64_t share = frames / (sizeof(states) / sizeof(states[0]));
            std::uint64_t sent = 0;
            while (sent < share) {
                sent += InState(state, share - sent);
                ++m_nSessions;
            }
        }
        printf("dispatch: %llu frames in %llu sessions\n",
               static_cast<unsigned long long>(m_nFrames),
               static_cast<unsigned long long>(m_nSessions));
    }

private:
    // Brings a fresh session to the state, then feeds random frames until it leaves that
    // state or `most` frames have gone. Returns the frames fed in the state.
    std::uint64_t InState(const StateImage& state, std::uint64_t most) {
        const std::wstring path =
            m_Folder + L"kestrix-fuzz-" + std::to_wstring(state.DataLength) + L".dat";
        if (m_Images.insert(state.DataLength).second)
            WriteFileBytes(path, Image(state.DataLength, state.DataLength + 7, m_Random));
        FirmwareImage image;
        LoadFirmwareImage(path, &image);

        m_Receiver.Clear();
        kxtest::FakeSessionView view;
        view.ChosenPath = path;
        CUpdateSession session(m_Hid, view);
        CVersionListener listener(view);
        const auto feed = [&](const std::vector<std::uint8_t>& frame) {
            session.DispatchReply(m_Guard.Place(frame), static_cast<USHORT>(frame.size()));
        };
        if (state.Phase != SessionPhase::Starting)
            session.Start();
        if (state.Phase >= SessionPhase::HeaderSent && state.Phase != SessionPhase::Ended)
            feed({0x00, REPLY_READY, 0x01, 0x00, 0x00});
        const std::vector<std::uint8_t> request = {0x00, FRAME_LINK, 0x01, 0x00, SUB_DATA_REQUEST};
        if (state.Phase == SessionPhase::Sending)
            feed(request);
        while (state.Phase == SessionPhase::DataDone &&
               (session.Phase() == SessionPhase::HeaderSent ||
                session.Phase() == SessionPhase::Sending))
            feed(request);
        if (state.Phase == SessionPhase::Ended)
            feed({0x00, FRAME_LINK, 0x01, 0x00, SUB_FAILURE_1});
        if (session.Phase() != state.Phase) {
            Fail("could not bring a session to state " + std::to_string(int(state.Phase)));
            return most;
        }

        std::uint64_t fed = 0;
        while (fed < most && session.Phase() == state.Phase) {
            const std::vector<std::uint8_t> frame = RandomFrame(m_Random);
            const std::uint64_t writesBefore = m_Receiver.Writes();
            const bool ended = session.Done();
            feed(frame);
            listener.DispatchReply(m_Guard.Place(frame), static_cast<USHORT>(frame.size()));
            ++fed;
            ++m_nFrames;
            if (ended && m_Receiver.Writes() != writesBefore)
                Fail("an ended session wrote to the receiver");
        }
        Check(session, view, image);
        return fed;
    }

    void Check(const CUpdateSession& session, const kxtest::FakeSessionView& view,
               const FirmwareImage& image) {
        const std::vector<std::uint8_t>& sent = m_Receiver.Data();
        if (sent.size() != session.SentLength() ||
            !std::equal(sent.begin(), sent.end(), image.Data.begin()))
            Fail("the blocks sent are not the image's bytes in order");
        if (m_Receiver.Headers() > 1)
            Fail("the header went more than once");
        const bool finished = m_Receiver.Finishes() > 0;
        if (finished != (session.Outcome() == SessionOutcome::Succeeded))
            Fail("SUB_FINISH and the session's success disagree");
        if (finished && session.SentLength() < image.Header.DataLength)
            Fail("finished before the whole image had gone");
        std::vector<int> progress = view.Progress;
        if (finished && !progress.empty())
            progress.pop_back(); // the reset after the success message
        if (!std::is_sorted(progress.begin(), progress.end()))
            Fail("progress went back");
        for (const auto& prompt : view.Prompts)
            if (prompt.Text == L"Firmware upgraded successful!" && !finished)
                Fail("success shown without SUB_FINISH");
    }

    Random m_Random;
    std::wstring m_Folder;
    std::set<std::uint32_t> m_Images; // lengths whose image file has been written
    TakingReceiver m_Receiver;
    ScopedDeviceApi m_Seam{m_Receiver};
    CHid m_Hid;
    kxtest::GuardedBytes m_Guard;
    std::uint64_t m_nFrames = 0;
    std::uint64_t m_nSessions = 0;

public:
    bool Connect() {
        return m_Guard.Valid() && m_Hid.FindDevice() && m_Hid.OpenDevice();
    }
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    unsigned long long images = 100000, frames = 1000000, seed = 20261208;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring arg = argv[i];
        unsigned long long* target = arg == L"--images"   ? &images
                                     : arg == L"--frames" ? &frames
                                     : arg == L"--seed"   ? &seed
                                                          : nullptr;
        if (!target) {
            fwprintf(stderr, L"usage: KestrixFuzz [--images N] [--frames N] [--seed S]\n");
            return 2;
        }
        *target = wcstoull(argv[i + 1], nullptr, 0);
    }
    const ULONGLONG started = GetTickCount64();
    FuzzImages(images, seed);
    printf("images: %llu mutated images checked (%.1f s)\n", images,
           (GetTickCount64() - started) / 1000.0);
    DispatchFuzzer dispatch(seed);
    if (!dispatch.Connect()) {
        printf("BROKEN: the fuzzing receiver could not be opened\n");
        return 1;
    }
    dispatch.Run(frames);
    printf("%s in %.1f s\n", g_nFailures ? "BROKEN" : "every check held",
           (GetTickCount64() - started) / 1000.0);
    return g_nFailures ? 1 : 0;
}

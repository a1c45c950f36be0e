#ifndef KELTO_MONITOR_BALLASTSNAPSHOT_H
#define KELTO_MONITOR_BALLASTSNAPSHOT_H

#include <array>
#include <cstdint>
#include <mutex>

// Where the converter keeps what it knows about its 64 ballasts: the summary
// block of request 10 and the 28-byte records of request 11.
namespace kelto::ballast {

constexpr int count = 64;
constexpr int vrbSize = 864;
constexpr int recordSize = 28;
constexpr int vrBalastsSize = count * recordSize;

// Summary block offsets (little-endian values).
constexpr int initialisedOffset = 0;
constexpr int withdrawOffset = 8;
constexpr int dtrOffset = 24;
constexpr int levelOffset = 88;
constexpr int statusOffset = 156;
constexpr int startLvlOffset = 220;
constexpr int endLvlOffset = 284;
constexpr int startTimeOffset = 348;
constexpr int endTimeOffset = 604;

// Offsets inside one record.
constexpr int randomAddressLLOffset = 2;
constexpr int randomAddressMMOffset = 3;
constexpr int randomAddressHHOffset = 4;
constexpr int shortAddressOffset = 5;

} // namespace kelto::ballast

// The last ballast data read from the device, shared by the polling thread
// (the only writer) and the view (the reader). Each half is replaced whole
// under a short lock, so a reader never sees a block half written, and the
// lock is never held while a USB transfer runs: the thread receives into a
// buffer of its own and publishes only a complete reply. A failed or short
// reply is not published; the previous bytes of that half stay, and the
// snapshot says why they are not live, so that nobody shows them as if they
// were.
class BallastSnapshot
{
public:
    // Whether the bytes are what the converter reports now.
    enum class Link {
        Unread, // nothing read yet: the bytes are zero, not the converter's
        Live, // the last reply was complete
        Gone, // not on the bus, or it left it
        NotAccessible, // on the bus, but its node is not ours to open
        InUse, // on the bus, but another program holds it
        Bootloader, // its bootloader runs, which keeps no ballast data
        NoAnswer, // the request timed out
        Refused, // the request was refused or the reply cut short
    };

    struct Data
    {
        std::array<unsigned char, kelto::ballast::vrbSize> vrb {};
        std::array<unsigned char, kelto::ballast::vrBalastsSize> vrBalasts {};
        Link link = Link::Unread;
    };

    // A complete reply: its half is replaced and the snapshot is live.
    void publishVrb(const std::array<unsigned char, kelto::ballast::vrbSize> &bytes);
    void publishVrBalasts(const std::array<unsigned char, kelto::ballast::vrBalastsSize> &bytes);
    // One polling cycle at once: the halves that came complete (null: the
    // old bytes stay) and whether the whole is live, so that no reader sees
    // one fresh half beside an old one as live.
    void publishCycle(const std::array<unsigned char, kelto::ballast::vrbSize> *vrb,
        const std::array<unsigned char, kelto::ballast::vrBalastsSize> *vrBalasts, Link link);
    Data read() const;
    // Back to all zero, as at program start.
    void clear();

private:
    mutable std::mutex mutex;
    Data data; // guarded by mutex
};

// The process-wide snapshot, all zero until the first complete reply.
BallastSnapshot &ballastSnapshot();

#endif

#include "ballastsnapshot.h"

void BallastSnapshot::publishVrb(const std::array<unsigned char, kelto::ballast::vrbSize> &bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    data.vrb = bytes;
    data.link = Link::Live;
}

void BallastSnapshot::publishVrBalasts(
    const std::array<unsigned char, kelto::ballast::vrBalastsSize> &bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    data.vrBalasts = bytes;
    data.link = Link::Live;
}

void BallastSnapshot::publishFailure(Link why)
{
    std::lock_guard<std::mutex> lock(mutex);
    data.link = why;
}

BallastSnapshot::Data BallastSnapshot::read() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return data;
}

void BallastSnapshot::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    data = Data {};
}

BallastSnapshot &ballastSnapshot()
{
    static BallastSnapshot snapshot;
    return snapshot;
}

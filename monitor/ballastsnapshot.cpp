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

void BallastSnapshot::publishCycle(const std::array<unsigned char, kelto::ballast::vrbSize> *vrb,
    const std::array<unsigned char, kelto::ballast::vrBalastsSize> *vrBalasts, Link link)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (vrb)
        data.vrb = *vrb;
    if (vrBalasts)
        data.vrBalasts = *vrBalasts;
    data.link = link;
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

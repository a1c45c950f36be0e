#include "pageplan.h"

#include <algorithm>
#include <cstring>

namespace kelto::upgrade {

namespace {
constexpr uint32_t checksumWordSize = 4;

bool held(const std::vector<bool> &v, int i)
{
    return i >= 0 && size_t(i) < v.size() && v[size_t(i)];
}
} // namespace

PagePlan::PagePlan(const QByteArray &app, int chunks)
    : application(app)
    , pageCount(int((uint32_t(app.size()) + pageSize - 1) / pageSize))
    , chunkWrites(size_t(std::max(chunks, 0)), true)
{
    // The last page leads; the others follow in address order.
    for (int i = 0; i < pageCount; ++i)
        order.push_back(uint32_t(i == 0 ? pageCount - 1 : i - 1) * pageSize);
}

void PagePlan::leaveOut(const std::vector<bool> &pagesHeld, const std::vector<bool> &chunksHeld)
{
    for (size_t i = 0; i < chunkWrites.size(); ++i)
        chunkWrites[i] = !held(chunksHeld, int(i));
    bool pageDiffers = false;
    std::vector<uint32_t> differing;
    for (int i = 0; i < pageCount; ++i) {
        if (held(pagesHeld, i))
            continue;
        pageDiffers = true;
        if (i != pageCount - 1)
            differing.push_back(uint32_t(i) * pageSize);
    }
    order.clear();
    const bool chunkDiffers
        = std::find(chunkWrites.begin(), chunkWrites.end(), true) != chunkWrites.end();
    if (pageCount == 0 || (!pageDiffers && !chunkDiffers))
        return;
    // Anything to write makes the application unstartable first.
    order.push_back(commitOffset());
    order.insert(order.end(), differing.begin(), differing.end());
}

bool PagePlan::changesAnything() const
{
    return !order.empty()
        || std::find(chunkWrites.begin(), chunkWrites.end(), true) != chunkWrites.end();
}

int PagePlan::pages() const
{
    return pageCount;
}

int PagePlan::pagesLeftOut() const
{
    // A held last page is still written (checksum erased) once anything
    // else is: it is then no page left out.
    return pageCount - int(order.size());
}

int PagePlan::chunks() const
{
    return int(chunkWrites.size());
}

bool PagePlan::writesChunk(int chunk) const
{
    return held(chunkWrites, chunk);
}

int PagePlan::chunksLeftOut() const
{
    return int(std::count(chunkWrites.begin(), chunkWrites.end(), false));
}

int PagePlan::writes() const
{
    return int(order.size());
}

uint32_t PagePlan::offset(int n) const
{
    return order.at(size_t(n));
}

void PagePlan::contents(int n, unsigned char *out) const
{
    target(offset(n), out);
    if (offset(n) == commitOffset())
        std::memset(out + pageSize - checksumWordSize, 0xFF, checksumWordSize);
}

uint32_t PagePlan::commitOffset() const
{
    return pageCount > 0 ? uint32_t(pageCount - 1) * pageSize : 0;
}

void PagePlan::commitContents(unsigned char *out) const
{
    target(commitOffset(), out);
}

void PagePlan::target(uint32_t at, unsigned char *out) const
{
    std::memset(out, 0xFF, pageSize);
    const uint32_t size = uint32_t(application.size());
    if (at < size)
        std::memcpy(out, application.constData() + at, size - at < pageSize ? size - at : pageSize);
}

} // namespace kelto::upgrade

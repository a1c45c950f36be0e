#include "pageplan.h"

#include <cstring>

namespace kelto::upgrade {

namespace {
constexpr uint32_t checksumWordSize = 4;
}

PagePlan::PagePlan(const QByteArray &app)
    : application(app)
    , pages(int((uint32_t(app.size()) + pageSize - 1) / pageSize))
{
}

int PagePlan::writes() const
{
    return pages;
}

uint32_t PagePlan::offset(int n) const
{
    // The last page leads; the others follow in address order.
    if (n == 0)
        return commitOffset();
    return uint32_t(n - 1) * pageSize;
}

void PagePlan::contents(int n, unsigned char *out) const
{
    page(offset(n), out);
    if (n == 0)
        std::memset(out + pageSize - checksumWordSize, 0xFF, checksumWordSize);
}

uint32_t PagePlan::commitOffset() const
{
    return pages > 0 ? uint32_t(pages - 1) * pageSize : 0;
}

void PagePlan::commitContents(unsigned char *out) const
{
    page(commitOffset(), out);
}

void PagePlan::page(uint32_t at, unsigned char *out) const
{
    std::memset(out, 0xFF, pageSize);
    const uint32_t size = uint32_t(application.size());
    if (at < size)
        std::memcpy(out, application.constData() + at, size - at < pageSize ? size - at : pageSize);
}

} // namespace kelto::upgrade

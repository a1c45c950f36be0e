#ifndef KELTO_UPGRADE_PAGEPLAN_H
#define KELTO_UPGRADE_PAGEPLAN_H

#include <QByteArray>

#include <cstdint>

namespace kelto::upgrade {

// Which application pages a firmware change writes, in which order and with
// which bytes. The bootloader starts the application only when the area's
// last word (in the last page) is the sum of the words before it, so that
// word is the application's "startable" switch:
// - the page loop writes the last page first, with its checksum word left
//   erased: from the first write on, the bootloader finds no fit
//   application, whatever else the area holds;
// - then every other page, in address order;
// - the commit, the last page with its real checksum word, is the run's
//   last write, made only once every page and the external flash have read
//   back right.
// A failure, stop or power loss anywhere before the commit leaves a unit
// that powers up in its bootloader and takes a new run.
class PagePlan
{
public:
    static constexpr uint32_t pageSize = 0x800;

    // `application` is the application area as the file holds it (plain);
    // a shorter one reads as erased beyond its end.
    explicit PagePlan(const QByteArray &application);

    // Page writes of the loop.
    int writes() const;
    // Offset in the application area of the loop's write `n` (0-based).
    uint32_t offset(int n) const;
    // The bytes of the loop's write `n`: `out` has room for pageSize.
    void contents(int n, unsigned char *out) const;
    // The commit: the last page with its checksum word.
    uint32_t commitOffset() const;
    void commitContents(unsigned char *out) const;

private:
    void page(uint32_t offset, unsigned char *out) const;

    QByteArray application;
    int pages = 0;
};

} // namespace kelto::upgrade

#endif

#ifndef KELTO_UPGRADE_PAGEPLAN_H
#define KELTO_UPGRADE_PAGEPLAN_H

#include <QByteArray>

#include <cstdint>
#include <vector>

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
//
// Skipping what the unit already holds (leaveOut) keeps that order: the
// loop then writes the last page (checksum erased) and the pages that
// differ, and the external flash only its chunks that differ. When nothing
// differs, nothing is written: no loop, no chunk, no commit.

class PagePlan
{
public:
    static constexpr uint32_t pageSize = 0x800;
    // The external flash is written in chunks of this size.
    static constexpr uint32_t chunkSize = 256;

    // `application` is the application area as the file holds it (plain);
    // a shorter one reads as erased beyond its end.
    // `chunks`: the external flash section's chunks, all written.
    explicit PagePlan(const QByteArray &application, int chunks = 0);

    // `pagesHeld[i]` / `chunksHeld[i]`: page / chunk i already holds the
    // file's bytes (missing entries count as differing).
    void leaveOut(const std::vector<bool> &pagesHeld, const std::vector<bool> &chunksHeld);
    // False when the unit holds everything already: then nothing is written.
    bool changesAnything() const;
    int pages() const;
    int pagesLeftOut() const;
    int chunks() const;
    bool writesChunk(int chunk) const;
    int chunksLeftOut() const;
    // The bytes page `offset` holds once the firmware is in place.
    void target(uint32_t offset, unsigned char *out) const;

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
    QByteArray application;
    int pageCount = 0;
    std::vector<uint32_t> order; // offsets of the loop's writes
    std::vector<bool> chunkWrites;
};

} // namespace kelto::upgrade

#endif

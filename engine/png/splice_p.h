#ifndef SPLICE_P_H
#define SPLICE_P_H

// Not part of the splice's interface: the seam its tests use.

#include "splice.h"

namespace Splice {

// Whether the spliced stream must be no larger than Qt's writer's is estimated to be. Tests of
// how the stream is cut and joined turn it off, so that sources compressed by hand with fixed
// filters, which compress worse than Qt's, are spliced too.
enum class SizeRule { NoLargerThanQt, Ignored };

bool buildStream(const QImage &image, int changedRows, QIODevice *source,
                 const SpliceLayout &layout, SplicedStream *stream, SizeRule rule);
bool buildHead(const QImage &rows, int changedRows, const SpliceLayout &layout,
               const std::shared_ptr<const std::vector<uchar>> &source, SplicedStream *stream,
               SizeRule rule);
// checked: layout was checked whole and holds every block boundary, and image is the whole
// picture; otherwise image is the first rows.
bool build(const QImage &image, int changedRows, const SpliceLayout &layout,
           const std::shared_ptr<const std::vector<uchar>> &source, bool checked,
           SplicedStream *stream, SizeRule rule);

} // namespace Splice

#endif // SPLICE_P_H

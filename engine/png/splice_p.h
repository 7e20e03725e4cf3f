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

} // namespace Splice

#endif // SPLICE_P_H

#pragma once
// Decoding and reduction in one pass over the source rows.
#include "picture/jpeg.h"
#include "picture/reduce.h"

namespace tam {

// Decodes the reader's picture and reduces it to the fitted box (which must
// reduce), filtering each destination row as soon as the decoder has
// delivered the source rows it covers. Only a band of source rows is ever
// held, never the whole decoded picture, and the decoder and the filter run
// on two threads where the machine has them. The result is byte for byte that
// of decoding whole and then ReducePicture. The reader must not have handed
// out rows yet; it is finished at the end, so damage late in the stream is
// reported as a whole decode reports it.
Picture DecodeReduced(JpegReader& reader, const FittedBox& box);

}  // namespace tam

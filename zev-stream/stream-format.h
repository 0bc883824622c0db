// The change stream: the format zev-block-diff-tool and `qv-disk diff` write and zev-block-apply
// reads. A stream describes how a second image of the same size differs from a first one, as
// JSON lines in the order of the image.
//
// Every record is one JSON object on one line, its fields in this order, no blanks, numbers in
// decimal without sign or leading zeros:
//   {"offset":O,"length":L,"data":"TEXT"}             change record: block at offset O of L
//                                                    bytes, TEXT the Base64 of its LZ4 block
//   {"offset":B,"length":0,"data":"","last":false}   heartbeat: B bytes processed so far
//   {"offset":B,"length":0,"data":"","last":true}    final record, once, as the last line
//
// Change records go forward through the image, each starting at or after the end of the one
// before; heartbeat offsets never go backwards. A final record whose offset is below the image
// size says the diff stopped there.
#ifndef ZEV_STREAM_FORMAT_H
#define ZEV_STREAM_FORMAT_H

#include <inttypes.h>

// Block size used when none is given.
#define ZEV_DEFAULT_BLOCK_SIZE 65536u

// Largest accepted block size: the largest input LZ4 compresses in one call.
#define ZEV_MAX_BLOCK_SIZE 0x7E000000u

// Each piece of a record, written and parsed as it stands:
#define ZEV_RECORD_OFFSET "{\"offset\":"  // then the offset
#define ZEV_RECORD_LENGTH ",\"length\":"  // then the length
#define ZEV_RECORD_DATA ",\"data\":\""    // then the Base64 text, which holds no quote
#define ZEV_RECORD_DATA_END "\""          // one character: ends the Base64 text
#define ZEV_RECORD_LAST ",\"last\":"      // heartbeats only: then false, or true at the end
#define ZEV_RECORD_CLOSE "}"
#define ZEV_RECORD_BREAK "\n"  // one character: ends every record

// A heartbeat or the final record without its line break, for printf with the bytes processed
// and "false" or "true".
#define HEARTBEAT_FORMAT                                                      \
    ZEV_RECORD_OFFSET "%" PRIu64 ZEV_RECORD_LENGTH                            \
                      "0" ZEV_RECORD_DATA ZEV_RECORD_DATA_END ZEV_RECORD_LAST \
                      "%s" ZEV_RECORD_CLOSE
#define HEARTBEAT_RECORD HEARTBEAT_FORMAT ZEV_RECORD_BREAK

// Room for the fixed parts of any record around its Base64 text:
// {"offset":<20 digits>,"length":<20 digits>,"data":"<text>","last":false}\n plus a
// terminator.
#define CHANGE_RECORD_OVERHEAD 96

#endif

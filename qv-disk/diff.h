// qv-disk diff: an incremental backup without a second image. The disk is read over any
// number of connections, each block is hashed and compared with the manifest of the last
// backup, and standard output receives the change stream that zev-block-diff-tool writes for
// that backup's image and the disk's current contents, byte for byte.
#ifndef QV_DISK_DIFF_H
#define QV_DISK_DIFF_H

#include "transfer.h"

namespace qvdisk {

// Runs the diff of `t` (the whole disk, against t.base_manifest; with t.manifest also the
// disk's new manifest) and returns the exit status: 0 when the stream is complete, 1 when
// it was refused or the disk could not be read to its end (the stream then ends with a final
// record whose offset is below the disk's size).
int run_diff(const Transfer& t);

}  // namespace qvdisk

#endif  // QV_DISK_DIFF_H

// Between the NAND layer and the file layer: the flash file system's content is lost.
#pragma once

namespace platform::io_internal {

// Called after a good block of the flash file system's partition was erased: /yaffs's backing
// folder is emptied (the file system is found empty at its next mount).
void FlashContentLost();

}  // namespace platform::io_internal

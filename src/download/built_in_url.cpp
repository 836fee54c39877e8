// The download URL chosen when the program is built; alone in its file so that only this file
// depends on the setting (and the host tools that split URLs need none).
#include "download/download_url.h"

namespace quorvel {

const char DOWNLOAD_URL[] = QUORVEL_DOWNLOAD_URL;

}  // namespace quorvel

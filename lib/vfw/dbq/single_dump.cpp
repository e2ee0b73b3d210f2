// DBQSingle dumps. The text dumps and the integrity check are not part of this build yet;
// the slot refuses instead of printing something partial.
#include "dbq_source.h"

#include "vfw/dbq.h"

namespace vfw {

void DBQSingle::dump(bool) {
    VFW_THROW(IOException, -1, "DBQSingle (dump) is not available.");
}

}  // namespace vfw

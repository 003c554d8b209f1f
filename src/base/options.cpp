// The one instance of the run settings.
#include "base/options.h"

namespace kapsa {

Options options = {};

}  // namespace kapsa

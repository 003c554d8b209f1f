// The one instance of the run settings.
#include "frame/options.h"

namespace kapsa {

Options options = {};

}  // namespace kapsa

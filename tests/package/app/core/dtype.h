// The application's own core/dtype.h, first on its include path: quarnel's
// headers must reach their own, and would not build with this one.
#pragma once

namespace app {
enum class Dtype { TEXT, NUMBER };
}  // namespace app

#include "platform/os.h"

namespace os {

namespace detail {
const Table *g_current = nullptr;

const Table &Start() {
    g_current = &StartTable();
    return *g_current;
}
}  // namespace detail

const Table &Use(const Table &table) {
    const Table &previous = Current();
    detail::g_current = &table;
    return previous;
}

}  // namespace os

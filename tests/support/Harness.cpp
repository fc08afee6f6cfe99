#include "tests/support/Harness.h"

#include <fstream>
#include <sstream>

namespace testing_support {

std::string ReadSourceFile(const std::string &relativePath) {
    std::ifstream in(std::string(TARSEL_SOURCE_DIR) + "/" + relativePath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace testing_support

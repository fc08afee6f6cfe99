// The write-per-line floor for the benchmark: appends the lines of an
// existing log to a new file exactly as the program's log writer does, one
// flushed append (one write()) per CR LF-terminated line, and nothing else.
//
//     floor INPUT OUTPUT
//
// The input is read whole before the clock that matters starts; the process
// time the benchmark measures is then dominated by the writes.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: floor INPUT OUTPUT\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "floor: cannot read %s\n", argv[1]);
        return 2;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int fd = ::open(argv[2], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        std::perror("floor: open");
        return 2;
    }
    size_t start = 0, lines = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        end = end == std::string::npos ? text.size() : end + 2;
        ssize_t n;
        do {
            n = ::write(fd, text.data() + start, end - start);
        } while (n < 0 && errno == EINTR);
        if (n != static_cast<ssize_t>(end - start)) {
            std::perror("floor: write");
            return 1;
        }
        start = end;
        ++lines;
    }
    ::close(fd);
    std::printf("%zu\n", lines);
    return 0;
}

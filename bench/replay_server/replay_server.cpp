// Replay server for benchmarks: listens on 127.0.0.1, reads request lines and
// answers each one with a canned reply line picked by the first table entry
// whose substring occurs in the request. Unmatched requests get the default
// reply. One thread per connection: the benchmark uses a few dozen at most,
// and blocking I/O keeps the per-request path to one recv and one send.
//
// Usage:
//   replay_server [--port N] [--table FILE] [--map SUBSTR FILE]...
//                 [--reply SUBSTR LINE]... [--default LINE]
//                 [--max-seconds S] [--exit-on-stdin-eof]
//
// Table file: one entry per line, "SUBSTRING<TAB>REPLY_FILE", the reply file
// relative to the table's directory; blank lines and lines starting with '#'
// are skipped. A reply file holds one line (its trailing CR/LF is dropped).
// The first line printed on stdout is the bound port.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

struct Entry {
    std::string needle;
    std::string reply;  // ends with exactly one '\n'
};

std::vector<Entry> g_table;
std::string g_default = "{\"res\":true}\n";

[[noreturn]] void die(const std::string& msg) {
    std::cerr << "replay_server: " << msg << '\n';
    std::exit(2);
}

std::string as_line(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    if (s.find('\n') != std::string::npos) die("a reply must be a single line");
    s.push_back('\n');
    return s;
}

std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) die("cannot read " + p.string());
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void load_table(const std::filesystem::path& table) {
    std::ifstream in(table);
    if (!in) die("cannot read table " + table.string());
    std::string line;
    int lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        auto tab = line.find('\t');
        if (tab == std::string::npos || tab == 0)
            die(table.string() + ":" + std::to_string(lineno) + ": expected SUBSTRING<TAB>FILE");
        std::filesystem::path file = line.substr(tab + 1);
        if (file.is_relative()) file = table.parent_path() / file;
        g_table.push_back({line.substr(0, tab), as_line(read_file(file))});
    }
}

const std::string& pick(std::string_view request) {
    for (const auto& e : g_table)
        if (request.find(e.needle) != std::string_view::npos) return e.reply;
    return g_default;
}

bool send_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

void serve(int fd) {
    std::vector<char> buf(1 << 16);
    size_t have = 0;
    for (;;) {
        if (have == buf.size()) buf.resize(buf.size() * 2);
        ssize_t n = ::recv(fd, buf.data() + have, buf.size() - have, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        size_t start = 0;
        size_t scan = have;
        have += static_cast<size_t>(n);
        while (scan < have) {
            auto* nl = static_cast<char*>(std::memchr(buf.data() + scan, '\n', have - scan));
            if (!nl) break;
            size_t end = static_cast<size_t>(nl - buf.data());
            const std::string& reply = pick(std::string_view(buf.data() + start, end - start));
            if (!send_all(fd, reply.data(), reply.size())) {
                ::close(fd);
                return;
            }
            start = scan = end + 1;
        }
        if (start > 0) {
            std::memmove(buf.data(), buf.data() + start, have - start);
            have -= start;
        }
    }
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    double max_seconds = 0;
    bool exit_on_stdin_eof = false;
    auto need = [&](int i, int k) {
        if (i + k >= argc) die(std::string("missing value for ") + argv[i]);
    };
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--port") {
            need(i, 1);
            port = std::atoi(argv[++i]);
        } else if (a == "--table") {
            need(i, 1);
            load_table(argv[++i]);
        } else if (a == "--map") {
            need(i, 2);
            std::string needle = argv[++i];
            g_table.push_back({needle, as_line(read_file(argv[++i]))});
        } else if (a == "--reply") {
            need(i, 2);
            std::string needle = argv[++i];
            g_table.push_back({needle, as_line(argv[++i])});
        } else if (a == "--default") {
            need(i, 1);
            g_default = as_line(argv[++i]);
        } else if (a == "--max-seconds") {
            need(i, 1);
            max_seconds = std::atof(argv[++i]);
        } else if (a == "--exit-on-stdin-eof") {
            exit_on_stdin_eof = true;
        } else {
            die("unknown option " + std::string(a));
        }
    }

    ::signal(SIGPIPE, SIG_IGN);

    int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ls < 0) die(std::string("socket: ") + std::strerror(errno));
    int one = 1;
    ::setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(ls, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0)
        die(std::string("bind: ") + std::strerror(errno));
    if (::listen(ls, 256) < 0) die(std::string("listen: ") + std::strerror(errno));
    socklen_t len = sizeof addr;
    ::getsockname(ls, reinterpret_cast<sockaddr*>(&addr), &len);
    std::printf("%d\n", ntohs(addr.sin_port));
    std::fflush(stdout);

    // The server must never outlive the benchmark that started it.
    if (max_seconds > 0) {
        std::thread([max_seconds] {
            std::this_thread::sleep_for(std::chrono::duration<double>(max_seconds));
            std::_Exit(0);
        }).detach();
    }
    if (exit_on_stdin_eof) {
        std::thread([] {
            char c[256];
            while (::read(0, c, sizeof c) > 0) {
            }
            std::_Exit(0);
        }).detach();
    }

    for (;;) {
        int fd = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            die(std::string("accept: ") + std::strerror(errno));
        }
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread(serve, fd).detach();
    }
}

#include "tests/support/stage.h"

#include "tests/support/proc.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tproc {

namespace {

// Others may search every folder above path, and read and run path itself.
bool others_reach(const std::string &path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || (st.st_mode & (S_IROTH | S_IXOTH)) != (S_IROTH | S_IXOTH)) {
        return false;
    }
    for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
         slash = path.rfind('/', slash - 1)) {
        if (::stat(path.substr(0, slash).c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) {
            return false;
        }
    }
    return true;
}

bool copy_file(const std::string &from, const std::string &to)
{
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (in < 0 || fstat(in, &st) != 0) {
        return false;
    }
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
    bool ok = out >= 0;
    for (off_t left = st.st_size; ok && left > 0;) {
        const ssize_t n = sendfile(out, in, nullptr, static_cast<size_t>(left));
        ok = n > 0;
        left -= n;
    }
    ::close(in);
    return out >= 0 && ::close(out) == 0 && ok;
}

// The staging folder lives as long as the test process. A forked child that
// ends with exit() (the programs' own code run in a child) runs this
// destructor too: only the process that made the folder removes it.
struct Stage {
    std::string dir;
    pid_t owner = 0;
    std::map<std::string, std::string> copies;
    std::mutex lock;
    ~Stage()
    {
        if (!dir.empty() && getpid() == owner) {
            remove_tree(dir);
        }
    }
};

Stage stage;

} // namespace

std::string reachable_by_nobody(const std::string &path)
{
    if (others_reach(path)) {
        return path;
    }
    const std::lock_guard<std::mutex> hold(stage.lock);
    auto known = stage.copies.find(path);
    if (known != stage.copies.end()) {
        return known->second;
    }
    if (stage.dir.empty()) {
        char templ[] = "/tmp/tempus-stage-XXXXXX";
        if (mkdtemp(templ) == nullptr || chmod(templ, 0755) != 0) {
            perror("staging folder");
            abort();
        }
        stage.dir = templ;
        stage.owner = getpid();
    }
    // One folder per copy keeps the file's own name, which tempusd's removal
    // checks in /proc, and keeps same-named files from different folders apart.
    const std::string folder = stage.dir + "/" + std::to_string(stage.copies.size());
    const std::string copy = folder + path.substr(path.rfind('/'));
    if (mkdir(folder.c_str(), 0755) != 0 || !copy_file(path, copy)) {
        perror(("staging " + path).c_str());
        abort();
    }
    stage.copies.emplace(path, copy);
    return copy;
}

} // namespace tproc

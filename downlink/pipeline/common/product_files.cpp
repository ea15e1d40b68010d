// product_files: resolution of output names, identity checks and the all-or-nothing writer
// shared by the pipeline programs (see product_files.h).
#include "product_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <ctime>
#include <set>

// The routine behind the library's public fits_parse_output_url; the library's header
// declares only the long name's mapping.
extern "C" int ffourl(char* url, char* urltype, char* outfile, char* tmplfile, char* compspec,
                      int* status);

namespace {

// ------------------------------------------------------------------ paths

std::string dir_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name a chain of symbolic links ends at (the link's target is what gets written).
std::string follow_links(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        char target[PATH_MAX];
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            break;
        }
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            break;
        }
        target[n] = '\0';
        path = target[0] == '/' ? std::string(target) : dir_of(path) + "/" + target;
    }
    return path;
}

// The file a name reaches, with its folder made absolute; the name itself when its folder
// does not exist.
std::string resolved_path(const std::string& name) {
    const std::string file = follow_links(name);
    char* dir = realpath(dir_of(file).c_str(), nullptr);
    if (dir == nullptr) {
        return file;
    }
    std::string path = std::string(dir) + (dir[1] == '\0' ? "" : "/") + base_of(file);
    std::free(dir);
    return path;
}

// ------------------------------------------------------------------ identity

struct identity {
    bool exists = false;
    bool regular = false;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string path;
};

identity identify(const std::string& name) {
    identity id;
    struct stat st {};
    id.exists = stat(name.c_str(), &st) == 0;
    id.regular = id.exists && S_ISREG(st.st_mode);
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.path = resolved_path(name);
    return id;
}

// Devices and pipes are never the same product as anything: /dev/null may take them all.
bool same_file(const identity& a, const identity& b) {
    if ((a.exists && !a.regular) || (b.exists && !b.regular)) {
        return false;
    }
    if (a.exists || b.exists) {
        return a.exists && b.exists && a.dev == b.dev && a.ino == b.ino;
    }
    return a.path == b.path;
}

// ------------------------------------------------------------------ temporary files

// Temporary files of the run, removable from a signal handler.
constexpr int kSlots = 16;
char g_temp[kSlots][PATH_MAX];
volatile sig_atomic_t g_used[kSlots];

int claim_slot(const std::string& path) {
    for (int i = 0; i < kSlots; ++i) {
        if (!g_used[i] && path.size() < sizeof g_temp[i]) {
            std::memcpy(g_temp[i], path.c_str(), path.size() + 1);
            g_used[i] = 1;
            return i;
        }
    }
    return -1;
}

void release_slot(int* slot) {
    if (*slot >= 0) {
        g_used[*slot] = 0;
    }
    *slot = -1;
}

// Async-signal-safe: unlink only.
void remove_temps() {
    for (int i = 0; i < kSlots; ++i) {
        if (g_used[i]) {
            unlink(g_temp[i]);
            g_used[i] = 0;
        }
    }
}

extern "C" void remove_temps_at_exit() {
    remove_temps();
}

extern "C" void remove_temps_on_signal(int sig) {
    remove_temps();
    raise(sig); // the handler was reset: the default action ends the process once it returns
}

unsigned random_part() {
    unsigned value = 0;
    if (getentropy(&value, sizeof value) != 0) {
        value = static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(clock());
    }
    return value;
}

// Creates a new empty file in `dir` under a name of its own (".part-<pid>-<random>" and the
// suffix); returns its descriptor, or -1 with errno set.
int make_temp(const std::string& dir, const char* suffix, std::string* name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        char base[64];
        std::snprintf(base, sizeof base, ".part-%ld-%08x%s", static_cast<long>(getpid()),
                      random_part(), suffix);
        *name = dir + "/" + base;
        const int fd = open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

bool write_all(int fd, const void* data, size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, at, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Writes a finished in-place product into its file.
bool write_in_place(const staged_product& p) {
    const int fd = open(p.target.file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const void* data = p.is_text ? static_cast<const void*>(p.text.data()) : p.mem;
    const size_t size = p.is_text ? p.text.size() : p.mem_size;
    bool ok = write_all(fd, data, size);
    const int err = errno;
    ok = close(fd) == 0 && ok;
    if (!ok && errno == 0) {
        errno = err;
    }
    return ok;
}

// The replacement takes the owner, group and mode of the file it replaces (the group alone
// when the owner cannot be given away).
void keep_identity(const staged_product& p) {
    struct stat st {};
    if (stat(p.target.file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    if (chown(p.temp.c_str(), st.st_uid, st.st_gid) != 0 &&
        chown(p.temp.c_str(), static_cast<uid_t>(-1), st.st_gid) != 0) {
        errno = 0; // a group the user does not belong to: the new file keeps the user's
    }
    chmod(p.temp.c_str(), st.st_mode & 07777);
}

// Holds off SIGTERM, SIGINT and SIGHUP; *old receives the mask to restore.
void hold_termination(sigset_t* hold, sigset_t* old) {
    sigemptyset(hold);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(hold, sig);
    }
    sigprocmask(SIG_BLOCK, hold, old);
}

// A temporary file beside the product; false (errno set) when its folder takes none.
bool open_temp(staged_product* p, int* fd) {
    // A termination signal between the creation and the registration would leave the file.
    sigset_t hold;
    sigset_t old;
    hold_termination(&hold, &old);
    *fd = make_temp(dir_of(p->target.file), p->target.compressed ? ".gz" : "", &p->temp);
    const int err = errno;
    if (*fd >= 0) {
        p->slot = claim_slot(p->temp);
        p->made_temp = p->temp;
    } else {
        p->temp.clear();
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return *fd >= 0;
}

bool fits_name_part(const char* type) {
    return std::strcmp(type, "file://") == 0 || std::strcmp(type, "compressoutfile://") == 0;
}

// Fills the FITS parts of a target from the library's parse of its name.
bool resolve_fits_name(const std::string& name, product_target* t, std::string* why) {
    char type[FLEN_FILENAME] = "";
    char out[FLEN_FILENAME] = "";
    char tmpl[FLEN_FILENAME] = "";
    char comp[FLEN_FILENAME] = "";
    int status = 0;
    std::string request = name;
    if (request.size() >= FLEN_FILENAME ||
        ffourl(request.data(), type, out, tmpl, comp, &status) != 0) {
        *why = "the name " + name + " cannot be read as a FITS file name";
        return false;
    }
    if (!fits_name_part(type)) {
        t->route = product_route::direct;
        return true;
    }
    t->compressed = std::strcmp(type, "compressoutfile://") == 0;
    t->file = out;
    t->file.erase(0, t->file.find_first_not_of('!'));
    if (tmpl[0] != '\0') {
        t->tmpl = tmpl;
        t->qualifiers = "(" + t->tmpl + ")";
        if (access(tmpl, R_OK) != 0) {
            *why = "the template file " + t->tmpl + " named in " + name + " cannot be read";
            return false;
        }
    }
    if (comp[0] != '\0') {
        t->qualifiers += std::string("[") + comp + "]";
        t->unknown_qualifier = strncasecmp(comp, "compress", 8) != 0;
    }
    return true;
}

} // namespace

bool resolve_product(const char* name, bool fits, product_target* t, std::string* why) {
    std::string given(name);
    given.erase(0, given.find_first_not_of('!'));
    *t = product_target{};
    t->shown = given;
    t->file = given;
    if (fits && !resolve_fits_name(given, t, why)) {
        return false;
    }
    if (t->route == product_route::direct) {
        t->file.clear();
        return true;
    }
    if (t->file.empty()) {
        *why = "the name " + given + " names no file";
        return false;
    }
    t->file = resolved_path(t->file);
    struct stat st {};
    const bool exists = stat(t->file.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        *why = given + " is a folder, not a file";
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        t->route = product_route::in_place;
    } else if (exists && access(dir_of(t->file).c_str(), W_OK) != 0 &&
               access(t->file.c_str(), W_OK) == 0) {
        t->route = product_route::in_place;
    }
    return true;
}

std::string fits_input_file(const char* name) {
    char root[FLEN_FILENAME];
    int status = 0;
    std::string file(name);
    if (file.size() < FLEN_FILENAME &&
        fits_parse_rootname(const_cast<char*>(name), root, &status) == 0) {
        file = root;
    }
    if (file.compare(0, 7, "file://") == 0) {
        file.erase(0, 7);
    }
    return file;
}

std::string find_file_clash(const std::vector<product_target>& outputs,
                            const std::vector<std::string>& inputs) {
    std::vector<identity> in;
    in.reserve(inputs.size());
    for (const std::string& name : inputs) {
        in.push_back(identify(name));
    }
    std::vector<identity> out(outputs.size());
    for (size_t o = 0; o < outputs.size(); ++o) {
        if (outputs[o].route == product_route::direct) {
            continue;
        }
        out[o] = identify(outputs[o].file);
        for (size_t i = 0; i < in.size(); ++i) {
            if (same_file(out[o], in[i])) {
                return "output file " + outputs[o].shown + " is the same file as input file " +
                       inputs[i];
            }
        }
        for (size_t e = 0; e < o; ++e) {
            if (outputs[e].route != product_route::direct && same_file(out[o], out[e])) {
                return "output files " + outputs[e].shown + " and " + outputs[o].shown +
                       " are the same file";
            }
        }
    }
    return "";
}

bool is_stream_file(const char* name) {
    struct stat st {};
    return stat(name, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

void product_files_init() {
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    std::atexit(remove_temps_at_exit);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
            continue; // left ignored, as the caller asked (nohup)
        }
        struct sigaction act {};
        act.sa_handler = remove_temps_on_signal;
        act.sa_flags = SA_RESETHAND;
        sigemptyset(&act.sa_mask);
        sigaction(sig, &act, nullptr);
    }
    std::signal(SIGXFSZ, SIG_IGN); // a file size limit: the write fails and says so
}

int stage_fits(staged_product* p) {
    int status = 0;
    p->fptr = nullptr;
    if (p->target.unknown_qualifier) {
        // The library takes only a compression request there; it refuses anything else with
        // this status, but loses the file record it allocated when it does.
        return URL_PARSE_ERROR;
    }
    if (p->target.route == product_route::direct) {
        fits_create_file(&p->fptr, ("!" + p->target.shown).c_str(), &status);
    } else if (p->target.route == product_route::in_place) {
        fits_create_memfile(&p->fptr, &p->mem, &p->mem_size, 0, std::realloc, &status);
    } else {
        int fd = -1;
        if (!open_temp(p, &fd)) {
            return FILE_NOT_CREATED;
        }
        close(fd);
        // The name is ours (created above); the library replaces the empty file.
        fits_create_file(&p->fptr, ("!" + p->temp + p->target.qualifiers).c_str(), &status);
    }
    if (status != 0) {
        p->fptr = nullptr;
        drop_staged(p);
    }
    return status;
}

bool stage_text(staged_product* p, const std::string& text) {
    p->is_text = true;
    if (p->target.route != product_route::renamed) {
        p->text = text;
        return true;
    }
    int fd = -1;
    if (!open_temp(p, &fd)) {
        return false;
    }
    bool ok = write_all(fd, text.data(), text.size());
    const int err = errno;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        drop_staged(p);
        errno = err;
    }
    return ok;
}

int close_staged(staged_product* p) {
    int status = 0;
    fits_close_file(p->fptr, &status);
    p->fptr = nullptr;
    if (status != 0) {
        drop_staged(p);
    }
    return status;
}

void drop_staged(staged_product* p) {
    if (p->fptr != nullptr) {
        int ignored = 0;
        fits_close_file(p->fptr, &ignored);
        p->fptr = nullptr;
    }
    if (!p->temp.empty()) {
        unlink(p->temp.c_str());
        p->temp.clear();
    }
    release_slot(&p->slot);
    std::free(p->mem);
    p->mem = nullptr;
    p->mem_size = 0;
}

namespace {

// Locks the folders of the products (in a fixed order) so that runs writing the same products
// commit one after the other: the products of one run are never mixed with another's.
std::vector<int> lock_folders(const std::vector<staged_product*>& products) {
    std::set<std::string> dirs;
    for (const staged_product* p : products) {
        if (p->target.route != product_route::direct) {
            dirs.insert(dir_of(p->target.file));
        }
    }
    std::vector<int> locks;
    for (const std::string& d : dirs) {
        const int fd = open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0 && flock(fd, LOCK_EX) == 0) {
            locks.push_back(fd);
        } else if (fd >= 0) {
            close(fd);
        }
    }
    return locks;
}

} // namespace

void report_product_error(std::FILE* stream, int status, const staged_product& p) {
    char text[FLEN_STATUS];
    char message[FLEN_ERRMSG];
    std::fflush(stdout);
    fits_get_errstatus(status, text);
    std::fprintf(stream, "\nFITSIO status = %d: %s\n", status, text);
    while (fits_read_errmsg(message) != 0) {
        std::string line(message);
        const size_t at = p.made_temp.empty() ? std::string::npos : line.find(p.made_temp);
        if (at != std::string::npos) {
            line.replace(at, p.made_temp.size(), p.target.shown);
        }
        std::fprintf(stream, "%s\n", line.c_str());
    }
}

int commit_staged(const std::vector<staged_product*>& products) {
    const std::vector<int> locks = lock_folders(products);
    sigset_t hold;
    sigset_t old;
    hold_termination(&hold, &old);
    int failed = -1;
    for (size_t i = 0; failed < 0 && i < products.size(); ++i) {
        if (products[i]->target.route == product_route::in_place && !write_in_place(*products[i])) {
            failed = static_cast<int>(i);
        }
    }
    for (size_t i = 0; failed < 0 && i < products.size(); ++i) {
        staged_product* p = products[i];
        if (p->target.route != product_route::renamed) {
            continue;
        }
        keep_identity(*p);
        if (std::rename(p->temp.c_str(), p->target.file.c_str()) != 0) {
            failed = static_cast<int>(i);
            break;
        }
        p->temp.clear();
        release_slot(&p->slot);
    }
    const int err = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    for (int fd : locks) {
        close(fd); // releases the lock
    }
    errno = err;
    return failed;
}

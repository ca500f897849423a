// INI loader on a file of arbitrary bytes: no crash, and a file that
// loads saves to a text that loads again to the same entries and saves
// to itself, or its save is refused naming an entry that it holds.
#include "fuzz_common.h"

#include <algorithm>
#include <unistd.h>

#include "libconf/ini/ini.h"

namespace {

std::string g_dir;

std::string write_tmp(const char *name, const void *data, size_t size)
{
    if (g_dir.empty()) {
        // Memory-backed when there is /dev/shm: two files per run.
        char shm[] = "/dev/shm/fuzz_ini_XXXXXX", tmp[] = "/tmp/fuzz_ini_XXXXXX";
        const char *d = mkdtemp(shm);
        if (!d) d = mkdtemp(tmp);
        FUZZ_ASSERT(d);
        g_dir = d;
        atexit([] {
            unlink((g_dir + "/in.ini").c_str());
            unlink((g_dir + "/saved.ini").c_str());
            rmdir(g_dir.c_str());
        });
    }
    std::string p = g_dir + "/" + name;
    FILE *f = fopen(p.c_str(), "wb");
    FUZZ_ASSERT(f);
    fwrite(data, 1, size, f);
    fclose(f);
    return p;
}

// The writer's text of d; false when it refuses d.
bool dump(const dictionary *d, std::string *out)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    const char *sec = nullptr, *key = nullptr;
    int r = iniparser_write_ini(d, f, &sec, &key);
    fclose(f);
    *out = std::string(buf, len);
    free(buf);
    if (r == 0) return true;
    FUZZ_ASSERT(out->empty() && sec);  // nothing written; the entry named
    std::string entry = key ? std::string(sec) + "\t" + key : sec;
    FUZZ_ASSERT(iniparser_find_entry(d, entry.c_str()) || (!*sec && key && iniparser_find_entry(d, key)));
    return false;
}

// Keys and values, sorted: keys of the empty section may move ahead of
// other sections when saved.
std::vector<std::string> entries(const dictionary *d)
{
    std::vector<std::string> v;
    for (int i = 0; i < d->size; ++i)
        if (d->key[i]) v.push_back(std::string(d->key[i]) + "\x01" + (d->val[i] ? d->val[i] : "\x02"));
    std::sort(v.begin(), v.end());
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string p = write_tmp("in.ini", data, size);
    dictionary *d = iniparser_load(p.c_str());
    if (!d) return 0;
    std::string text1, text2;
    if (!dump(d, &text1)) {
        iniparser_freedict(d);
        return 0;
    }
    std::string saved = "\xEF\xBB\xBF" + text1;  // as a save writes it
    std::string p2 = write_tmp("saved.ini", saved.data(), saved.size());
    dictionary *d2 = iniparser_load(p2.c_str());
    FUZZ_ASSERT(d2 != nullptr);  // what the writer wrote always loads
    FUZZ_ASSERT(entries(d) == entries(d2));
    FUZZ_ASSERT(dump(d2, &text2) && text2 == text1);
    iniparser_freedict(d);
    iniparser_freedict(d2);
    return 0;
}

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "common/tmp_file.h"
#include "libpal/env/malloc.h"
#include "libpal/hash/dict.h"
#include "libpal/qexpr/qexpr.h"
#include "libpal/regex/regex_ex.h"
#include "libpal/string/str_map.h"

namespace {

// A log record as the rule variables see it.
struct rec {
    u8 level;
    const char *tag;
    const char *line;
    const char *file;
    const char *msg;
    u16 port;
};

const rec R1{6, "pal", "42", "src/lib/net.c", "connect timed out\n", 0x1234};
const rec R2{3, "httpd", "100", "src/lib/libhttpd/api.cpp", "Disk Full on /var\n", 80};
const rec R3{7, "dbg", "7", "src/lib/libdbg/http.h", "OK-done\n", 443};

std::atomic<int> g_lookups{0};

int rec_var(const char *name, qexpr_value *v, void *arg)
{
    const rec *r = (const rec *)arg;
    g_lookups.fetch_add(1, std::memory_order_relaxed);
    auto text = [v](const char *s) {
        v->type = VALUE_STR;
        v->str = s;
        return 0;
    };
    if (!strcmp(name, "level")) {
        v->type = VALUE_U8;
        v->num = r->level;
        return 0;
    }
    if (!strcmp(name, "port")) {
        v->type = VALUE_U16;
        v->num = r->port;
        return 0;
    }
    if (!strcmp(name, "tag")) return text(r->tag);
    if (!strcmp(name, "line")) return text(r->line);
    if (!strcmp(name, "file")) return text(r->file);
    if (!strcmp(name, "msg")) return text(r->msg);
    return -1;
}

struct rule_set {
    qexpr *q;
    explicit rule_set(qexpr_ctx *ctx = nullptr) : q(qexpr_new(ctx)) {}
    ~rule_set() { qexpr_del(q); }
    int load(const std::string &text)
    {
        err[0] = 0;
        return qexpr_load_str(q, text.c_str(), err);
    }
    int drop(const rec &r) { return qexpr_filter_drop(q, rec_var, (void *)&r); }
    std::string verdicts() { return std::to_string(drop(R1)) + std::to_string(drop(R2)) + std::to_string(drop(R3)); }
    std::string dump()
    {
        char *s = qexpr_dump_rules_str(q);
        std::string r = s ? s : "<null>";
        os_free(s);
        return r;
    }
    char err[QEXPR_ERR_SIZE];
};

std::string verdicts_of(const std::string &text)
{
    rule_set s;
    EXPECT_EQ(s.load(text), 0) << text << ": " << s.err;
    return s.verdicts();
}

std::string load_error(const std::string &text)
{
    rule_set s;
    EXPECT_EQ(s.load(text), -1) << text;
    return s.err;
}

TEST(Qexpr, WorkedExamples)
{
    EXPECT_EQ(verdicts_of("level <= 4"), "101");
    EXPECT_EQ(verdicts_of("level>=3;tag == pal"), "000");
    EXPECT_EQ(verdicts_of("!msg find \"disk full\""), "010");  // the match ignores case
    EXPECT_EQ(verdicts_of("@rule_mode and\nlevel <= 6\ntag != httpd"), "011");
    EXPECT_EQ(verdicts_of("msg match 'time(d)? ?out$'"), "011");
    EXPECT_EQ(verdicts_of("msg match timeout$"), "111");  // "$" expanded away: "timeout"
    EXPECT_EQ(verdicts_of("msg gfind on"), "101");
    EXPECT_EQ(verdicts_of("file glob *.c"), "001");
    EXPECT_EQ(verdicts_of("line >= 100"), "000");  // a text field compares byte-wise
    EXPECT_EQ(verdicts_of("level == 300"), "111");  // 300 cut to 8 bits is 44
    EXPECT_EQ(verdicts_of("msg findhex 4b?64"), "110");
    EXPECT_EQ(verdicts_of("msg findhex 6f6b"), "111");  // byte-exact
    EXPECT_EQ(verdicts_of("~tag == pal"), "000");        // never evaluated
    EXPECT_EQ(verdicts_of("msg endswith out"), "111");
    EXPECT_EQ(verdicts_of("msg endswith \"out\\n\""), "011");
}

TEST(Qexpr, CombiningRules)
{
    EXPECT_EQ(verdicts_of("level >= 5"), "010");
    EXPECT_EQ(verdicts_of("!tag == httpd"), "010");
    EXPECT_EQ(verdicts_of("tag == PAL"), "011");  // no context: case ignored
    // "or": the first match decides; otherwise the last verdict stands.
    EXPECT_EQ(verdicts_of("tag == dbg; level <= 3"), "100");
    EXPECT_EQ(verdicts_of("!tag == dbg; level <= 3"), "101");
    // "and": the first rule that does not match decides.
    EXPECT_EQ(verdicts_of("@rule_mode and; level >= 5; tag == pal"), "011");
    // A negated rule that matches does not decide in "and"; the last verdict stands.
    EXPECT_EQ(verdicts_of("@rule_mode and; !tag == pal; level >= 5"), "000");
    EXPECT_EQ(verdicts_of(""), "000");
    EXPECT_EQ(verdicts_of("nosuch == 1"), "000");  // unreadable variable: rule skipped
    EXPECT_EQ(verdicts_of("nosuch == 1; level <= 4"), "101");
    // Numbers: string operators never match, so only their negation drops.
    EXPECT_EQ(verdicts_of("level find 6"), "111");
    EXPECT_EQ(verdicts_of("port findhex 3412"), "011");  // memory order of the u16
    EXPECT_EQ(verdicts_of("port !findhex 50"), "010");
    EXPECT_EQ(verdicts_of("port > 100"), "010");
    EXPECT_EQ(verdicts_of("port == 0x50"), "101");
    EXPECT_EQ(verdicts_of("port == 65616"), "101");  // 65616 cut to 16 bits is 80
}

TEST(Qexpr, StringOperators)
{
    struct {
        const char *a, *b;
        int code;
        int nocase;
        int want;
    } cases[] = {
        {"abc", "abc", QOP_EQ, 0, 1},          {"abc", "ABC", QOP_EQ, 0, 0},
        {"abc", "ABC", QOP_EQ, 1, 1},          {"abc", "ABC", QOP_NE, 1, 0},
        {"abc", "abd", QOP_LT, 0, 1},          {"abd", "abc", QOP_GT, 0, 1},
        {"abc", "abc", QOP_LE, 0, 1},          {"abc", "abc", QOP_GE, 0, 1},
        {"ABC", "abd", QOP_LT, 1, 1},          {"x error y", "ERROR", QOP_FIND, 0, 0},
        {"x error y", "ERROR", QOP_FIND, 1, 1}, {"x error y", "ERROR", QOP_NFIND, 1, 0},
        {"errors", "error", QOP_GFIND, 0, 0},  {"an error.", "error", QOP_GFIND, 0, 1},
        {"Disk full", "disk", QOP_STARTSWITH, 1, 1}, {"Disk full", "disk", QOP_STARTSWITH, 0, 0},
        {"a.conf", ".CONF", QOP_ENDSWITH, 1, 1}, {"a.conf", ".conf", QOP_NENDSWITH, 0, 0},
        {"log_1.txt", "log_?.txt", QOP_GLOB, 0, 1}, {"log_1.txt", "LOG*", QOP_GLOB, 1, 1},
        {"log_1.txt", "LOG*", QOP_NGLOB, 0, 1}, {"timed out", "^TIME", QOP_MATCH, 1, 1},
        {"timed out", "^TIME", QOP_MATCH, 0, 0}, {"timed out", "d o", QOP_NMATCH, 0, 0},
        {"AB", "4142", QOP_FINDHEX, 1, 1},     {"AB", "4143", QOP_NFINDHEX, 0, 1},
        {"a", "b", 99, 0, 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(expr_operate_str(c.a, c.b, c.code, c.nocase, 0), c.want)
            << c.a << " " << c.code << " " << c.b << " nocase=" << c.nocase;
    testutil::log_capture cap;
    expr_operate_str("abc", "b", QOP_FIND, 0, 1);
    EXPECT_TRUE(cap.has("[abc find b]\n")) << cap.get();
}

TEST(Qexpr, LoadErrorsLeaveRulesAndModeInForce)
{
    EXPECT_EQ(load_error("tag!=pal"), "1:0 mode=7 Incomplete expression error");
    EXPECT_EQ(load_error("@rule_mode xor"), "rule_mode = xor error, [or and]");
    EXPECT_EQ(load_error("@include '/nonexistent/r.txt'"),
              "include [/nonexistent/r.txt][/nonexistent/r.txt] error: No such file or directory");
    EXPECT_EQ(load_error("@foo bar"), "unsupprot cmd [foo] error");
    EXPECT_EQ(load_error("level === 3"), "1:0 opcode=[===] Unsupported");

    rule_set s;
    ASSERT_EQ(s.load("@rule_mode and; level <= 6; tag != httpd"), 0);
    std::string before = s.dump();
    ASSERT_EQ(s.verdicts(), "011");
    // The mode directive comes first and the failure later: nothing changes,
    // not even the mode.
    EXPECT_EQ(s.load("@rule_mode or; level <= 4; @bogus x"), -1);
    EXPECT_STREQ(s.err, "unsupprot cmd [bogus] error");
    EXPECT_EQ(s.dump(), before);
    EXPECT_EQ(s.verdicts(), "011");
    EXPECT_EQ(s.load("@rule_mode or; level <= 4; 9"), -1);
    EXPECT_EQ(s.dump(), before);
    // A disabled directive is kept but not carried out; the mode stays "and".
    ASSERT_EQ(s.load("~@rule_mode or; ~@foo x; level >= 5; tag == httpd"), 0);
    EXPECT_EQ(s.verdicts(), "111");
    // A successful load replaces everything, the mode stays unless set.
    ASSERT_EQ(s.load("level <= 4"), 0);
    EXPECT_EQ(s.verdicts(), "101");
}

// Rule files in the scratch folder; dir and name apart for the includes.
struct rule_file {
    std::string path, dir, name;
    rule_file(const std::string &file, const std::string &text)
        : path(testutil::tmp_file("qexpr", file, text)), dir(path.substr(0, path.rfind('/'))),
          name(path.substr(path.rfind('/') + 1))
    {
    }
};

TEST(Qexpr, Includes)
{
    rule_file inc("inc.txt", "# included\n@rule_mode and\ntag != httpd\n");
    rule_file nested("nested.txt", "level <= 4\n@include other.txt\n");
    rule_file bad("bad.txt", "level <=");
    setenv("QEXPRDIR", inc.dir.c_str(), 1);

    rule_set s;
    ASSERT_EQ(s.load("level <= 6\n@include $QEXPRDIR/" + inc.name), 0) << s.err;
    EXPECT_EQ(s.verdicts(), "011");  // the included file set "and"
    EXPECT_EQ(s.dump(), "# rule_mode=and\n#main----------------------\n level <= 6\n@ include "
                        "$QEXPRDIR/" + inc.name + "\n#include-------------------\n@ rule_mode and\n tag != "
                        "httpd\n#end-----------------------\n");
    char *main_only = qexpr_dump_main_rules(s.q);
    ASSERT_NE(main_only, nullptr);
    EXPECT_EQ(std::string(main_only), "# rule_mode=and\n#main----------------------\n level <= 6\n@ include "
                                      "$QEXPRDIR/" + inc.name + "\n#end-----------------------\n");
    os_free(main_only);

    EXPECT_EQ(s.load("@include '" + nested.path + "'"), -1);
    EXPECT_STREQ(s.err, "Only one level of include is supported");
    EXPECT_EQ(s.load("@include /dev/zero"), -1);  // a device would never end
    EXPECT_STREQ(s.err, "include [/dev/zero][/dev/zero] error: Invalid argument");
    EXPECT_EQ(s.load("@include " + inc.dir), -1);
    EXPECT_EQ(std::string(s.err), "include [" + inc.dir + "][" + inc.dir + "] error: Is a directory");
    rule_file big("big.txt", std::string(QEXPR_FILE_MAX + 1, '#'));
    EXPECT_EQ(s.load("@include " + big.path), -1);
    EXPECT_EQ(std::string(s.err), "include [" + big.path + "][" + big.path + "] error: File too large");
    EXPECT_EQ(s.load("@include \"" + bad.path + "\""), -1);
    EXPECT_STREQ(s.err, "1:0 mode=7 Incomplete expression error");
    EXPECT_EQ(s.verdicts(), "011");  // still the first load

    // The rule context's substitution table comes before the environment.
    dict *subst = dict_new(0);
    ASSERT_NE(subst, nullptr);
    std::string other = inc.dir + "/nowhere";
    dict_add(subst, "QEXPRDIR", (void *)other.c_str());
    qexpr_ctx ctx{};
    ctx.subst = subst;
    str_map *vars = str_map_new(STR_MAP_KEY_COPY);
    str_map_add(vars, "tag", "pal");
    ctx.vars = vars;
    ctx.nocase = 1;
    rule_set c(&ctx);
    EXPECT_EQ(c.load("@include ${QEXPRDIR}/" + inc.name), -1);
    EXPECT_EQ(std::string(c.err), "include [${QEXPRDIR}/" + inc.name + "][" + other + "/" + inc.name +
                                      "] error: No such file or directory");
    EXPECT_STREQ(qexpr_var_getenv("QEXPRDIR", c.q), other.c_str());
    EXPECT_STREQ(qexpr_var_getenv("QEXPRDIR", nullptr), inc.dir.c_str());
    dict_free(subst);
    str_map_free(vars);
    unsetenv("QEXPRDIR");
}

TEST(Qexpr, LoadFile)
{
    std::string good = rule_file("good.txt", "level <= 4\n").path;
    std::string bad = rule_file("bad2.txt", "level <= 4\n1x\n").path;
    rule_set s;
    char err[QEXPR_ERR_SIZE];
    ASSERT_EQ(qexpr_load_file(s.q, good.c_str(), err), 0);
    EXPECT_EQ(s.verdicts(), "101");
    EXPECT_EQ(qexpr_load_file(s.q, bad.c_str(), err), -1);
    EXPECT_STREQ(err, "2:1 [1-0x31] error: Var must start with letter or underscore");
    EXPECT_EQ(qexpr_load_file(s.q, (good + ".missing").c_str(), err), 0);  // nothing changes
    EXPECT_EQ(s.verdicts(), "101");
}

TEST(Qexpr, EnvironmentInValues)
{
    setenv("QXTAG", "httpd", 1);
    EXPECT_EQ(verdicts_of("tag == $QXTAG"), "101");
    EXPECT_EQ(verdicts_of("tag == \"${QXTAG}\""), "101");
    EXPECT_EQ(verdicts_of("tag == '$QXTAG'"), "111");  // single quotes: literal
    rule_set s;
    ASSERT_EQ(s.load("tag == $QXTAG; msg match 'out$'"), 0);
    // Values are stored expanded; a "$" that must stay literal is written
    // between single quotes so the dump reads back as the same rules.
    EXPECT_EQ(s.dump(), "# rule_mode=or\n#main----------------------\n tag == httpd\n msg match "
                        "'out$'\n#include-------------------\n#end-----------------------\n");
    unsetenv("QXTAG");
}

TEST(Qexpr, DumpReadsBackAsTheSameRules)
{
    rule_set s;
    ASSERT_EQ(s.load("@rule_mode and\n~tag == pal\n!msg find \"disk full\"\nmsg find 'a;b#c'\n"
                     "file endswith 'x\\y'\nmsg match 'out$'\n@include '/no where'\n"),
              -1);  // the include fails: load the rest only
    ASSERT_EQ(s.load("@rule_mode and\n~tag == pal\n!msg find \"disk full\"\nmsg find 'a;b#c'\n"
                     "file endswith 'x\\y'\nmsg match 'out$'\n~@include '/no where'\n"),
              0)
        << s.err;
    std::string d1 = s.dump();
    EXPECT_EQ(d1, "# rule_mode=and\n#main----------------------\n@ rule_mode and\n~  tag == pal\n! msg "
                  "find \"disk full\"\n msg find \"a;b#c\"\n file endswith x\\y\n msg match "
                  "'out$'\n~ @ include '/no where'\n#include-------------------\n"
                  "#end-----------------------\n");
    rule_set t;
    ASSERT_EQ(t.load(d1), 0) << t.err;
    EXPECT_EQ(t.dump(), d1);
    EXPECT_EQ(qexpr_dump_crc(t.q), qexpr_dump_crc(s.q));
    EXPECT_NE(qexpr_dump_crc(s.q), 0u);
    ASSERT_EQ(t.load("level <= 4"), 0);
    EXPECT_NE(qexpr_dump_crc(t.q), qexpr_dump_crc(s.q));
    EXPECT_EQ(qexpr_dump_crc(nullptr), 0u);
    EXPECT_EQ(qexpr_dump_rules_str(nullptr), nullptr);
}

TEST(Qexpr, AddCommitCopyForeach)
{
    rule_set s;
    EXPECT_EQ(qexpr_add_rules(s.q, 1, "level", "<=", "4", 0), 0);
    EXPECT_EQ(qexpr_add_rules(s.q, 1, "rule_mode", nullptr, "and", QEXPR_FORM_CMD), 0);
    {
        testutil::log_capture cap;
        EXPECT_EQ(qexpr_add_rules(s.q, 1, "tag", "~=", "x", 0), -1);
        EXPECT_TRUE(cap.has("opcode=[~=] Unsupported")) << cap.get();
    }
    EXPECT_EQ(s.verdicts(), "000");  // nothing installed yet
    char err[QEXPR_ERR_SIZE];
    ASSERT_EQ(qexpr_commit(s.q, err), 0);
    EXPECT_EQ(s.verdicts(), "101");
    EXPECT_EQ(s.q->mode, QEXPR_MODE_AND);

    EXPECT_EQ(qexpr_add_rules(s.q, 1, "zzz", nullptr, "1", QEXPR_FORM_CMD), 0);
    EXPECT_EQ(qexpr_commit(s.q, err), -1);
    EXPECT_STREQ(err, "unsupprot cmd [zzz] error");
    EXPECT_EQ(s.verdicts(), "101");

    EXPECT_EQ(qexpr_add_rules(s.q, 1, "tag", "==", "dbg", 0), 0);
    EXPECT_EQ(qexpr_rules_reset(s.q), 0);  // dropped before it was installed
    ASSERT_EQ(qexpr_commit(s.q, err), 0);
    EXPECT_EQ(s.verdicts(), "000");  // an empty commit installs no rules

    ASSERT_EQ(s.load("@rule_mode and; level >= 5; !tag == pal; msg match 'd.ne'"), 0);
    rule_set c;
    ASSERT_EQ(qexpr_copy(c.q, s.q), 0);
    EXPECT_EQ(c.dump(), s.dump());
    EXPECT_EQ(c.verdicts(), s.verdicts());
    EXPECT_EQ(c.verdicts(), "110");
    ASSERT_EQ(s.load("level <= 4"), 0);  // the copy owns its rules
    EXPECT_EQ(c.verdicts(), "110");
    EXPECT_EQ(qexpr_copy(c.q, c.q), 0);

    std::vector<std::string> seen;
    qexpr_rules_foreach(
        c.q,
        [](int enabled, int directive, const char *name, int code, const char *value, int form,
           void *arg, qexpr_rule *) {
            char line[512];
            snprintf(line, sizeof line, "%d%d %s %d %s %d", enabled, directive, name, code, value, form);
            static_cast<std::vector<std::string> *>(arg)->push_back(line);
            return 0;
        },
        &seen);
    EXPECT_EQ(seen, (std::vector<std::string>{"11 rule_mode 0 and 0", "10 level 11 5 0",
                                              "10 tag 2 pal 1", "10 msg 34 d.ne 0"}));
}

TEST(Qexpr, RuleContext)
{
    str_map *vars = str_map_new(STR_MAP_KEY_COPY);
    str_map_add(vars, "tag", "PAL");
    str_map *typed = str_map_new(STR_MAP_KEY_COPY);
    qexpr_value lvl{};
    lvl.type = VALUE_U32;
    lvl.num = 5;
    str_map_add(typed, "level", &lvl);
    qexpr_ctx ctx{};
    ctx.vars = vars;
    ctx.typed = typed;
    ctx.nocase = 0;

    rule_set s(&ctx);
    EXPECT_EQ(s.load("tag == PAL; nosuch == 1"), -1);
    EXPECT_STREQ(s.err, "var [nosuch] does not exist");
    // Without a variable procedure the context's maps give the values.
    ASSERT_EQ(s.load("tag == pal"), 0);
    EXPECT_EQ(qexpr_filter_drop(s.q, nullptr, nullptr), 1);  // case counts here
    ASSERT_EQ(s.load("tag == PAL"), 0);
    EXPECT_EQ(qexpr_filter_drop(s.q, nullptr, nullptr), 0);
    ASSERT_EQ(s.load("@rule_mode and; level > 4; level < 6"), 0);
    EXPECT_EQ(qexpr_filter_drop(s.q, nullptr, nullptr), 0);
    ASSERT_EQ(s.load("level == 4"), 0);
    EXPECT_EQ(qexpr_filter_drop(s.q, nullptr, nullptr), 1);

    ctx.trace = 1;
    {
        testutil::log_capture cap;
        ASSERT_EQ(s.load("level == 5; !tag find pa"), 0);
        EXPECT_EQ(qexpr_filter_drop(s.q, nullptr, nullptr), 0);
        ASSERT_EQ(s.load("!tag find PA"), 0);
        EXPECT_EQ(qexpr_filter_drop(s.q, nullptr, nullptr), 1);
        EXPECT_TRUE(cap.has("[  level(5) == 5 ] = 1\n")) << cap.get();
        EXPECT_TRUE(cap.has("[ ! tag(PAL) find PA ] = 1\n")) << cap.get();
    }
    // Without a procedure and without a context the walk ends: keep.
    rule_set bare;
    ASSERT_EQ(bare.load("level == 5"), 0);
    EXPECT_EQ(qexpr_filter_drop(bare.q, nullptr, nullptr), 0);
    EXPECT_EQ(qexpr_filter_drop(nullptr, rec_var, nullptr), 0);
    str_map_free(vars);
    str_map_free(typed);
}

TEST(Qexpr, MissingVariableAndBadPatternLogOncePerLoad)
{
    rule_set s;
    testutil::log_capture cap;
    ASSERT_EQ(s.load("nosuch == 1; msg match 'a('; level == 6"), 0);
    for (int i = 0; i < 100; ++i) s.verdicts();
    std::string log = cap.get();
    auto count = [&](const std::string &what) {
        size_t n = 0;
        for (size_t p = log.find(what); p != std::string::npos; p = log.find(what, p + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("var_proc get_arg1 [nosuch] failed"), 1u) << log;
    EXPECT_EQ(count("regcomp"), 1u) << log;
    EXPECT_EQ(s.verdicts(), "011");  // the bad pattern never matches
    ASSERT_EQ(s.load("nosuch == 1"), 0);
    s.verdicts();
    log = cap.get();
    EXPECT_EQ(count("var_proc get_arg1 [nosuch] failed"), 2u) << log;
    // A negated bad pattern: the pattern never matches, so its negation does.
    EXPECT_EQ(verdicts_of("!msg match 'a('"), "000");
}

TEST(Qexpr, EngineDirect)
{
    qexpr_value v{}, r{};
    v.type = VALUE_U8;
    v.num = 44;
    r.type = VALUE_STR;
    r.str = "300";
    r.alt_num = 300;
    EXPECT_EQ(qexpr_eval(&v, &r, QOP_EQ), 1);
    v.type = VALUE_U64;
    v.num = 0x1122334455667788ull;
    r.str = "8877";
    EXPECT_EQ(qexpr_eval(&v, &r, QOP_FINDHEX), 1);
    EXPECT_EQ(qexpr_eval(&v, &r, QOP_NFINDHEX), 0);
    r.str = "55?33";
    EXPECT_EQ(qexpr_eval(&v, &r, QOP_FINDHEX), 1);
    r.str = "zz";
    EXPECT_EQ(qexpr_eval(&v, &r, QOP_FINDHEX), 0);
    v.type = VALUE_U32;
    v.num = 7;
    r.alt_num = 8;
    EXPECT_EQ(qexpr_eval(&v, &r, QOP_LT), 1);
    EXPECT_EQ(qexpr_eval(&v, &r, QOP_GE), 0);
    EXPECT_EQ(qexpr_eval(&v, &r, QOP_FIND), 0);
    v.type = VALUE_DOUBLE;
    EXPECT_EQ(qexpr_eval(&v, &r, QOP_LT), 0);  // other types never match
    EXPECT_EQ(qexpr_eval(nullptr, &r, QOP_LT), 0);
    v.type = VALUE_STR;
    v.str = nullptr;  // a missing text reads as empty
    r.str = "";
    EXPECT_EQ(qexpr_eval(&v, &r, QOP_EQ), 1);
}

TEST(QexprConcurrency, EvaluateWhileReloading)
{
    rule_set s;
    ASSERT_EQ(s.load("level <= 4"), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            for (int i = 0; i < 20000 && !stop.load(); ++i) {
                // Both rule sets drop R1 and keep R2, whichever is in force.
                if (s.drop(R1) != 1 || s.drop(R2) != 0) bad.fetch_add(1);
            }
        });
    }
    char err[QEXPR_ERR_SIZE];
    for (int i = 0; i < 300; ++i) {
        const char *text = i % 2 ? "level <= 4" : "@rule_mode and; level < 5; msg match 'Disk'";
        EXPECT_EQ(qexpr_load_str(s.q, text, err), 0);
        EXPECT_EQ(qexpr_load_str(s.q, "level <=", err), -1);
    }
    stop.store(true);
    for (auto &t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace

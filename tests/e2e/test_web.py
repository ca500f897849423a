"""The web debug tool of the running vkto: every URL with curl and
http.client, logins on and off, bad requests, half-closed and POST clients,
and the single-instance check on the HTTP port alone."""
import base64
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()

DATE = rb"[A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT"
HEAD_401 = re.compile(
    rb"\AHTTP/1\.1 401 Please Authenticate\r\nServer: VELTA Http Server\r\n"
    rb"X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\nWWW-Authenticate: Basic realm=\"velta\"\r\n"
    rb"Date: " + DATE + rb"\r\nConnection: close\r\nContent-Type: text/html\r\n"
    rb"Cache-Control: no-store, must-revalidate\r\nExpires: 0\r\nPragma: no-cache\r\nContent-Length: 1\r\n"
    rb"Last-Modified: " + DATE + rb"\r\n\r\n\n\Z")
BAD_REQUEST = b"HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n"
REFUSAL = b"\n<B>ERROR : Method Not Implemented</B>\n\n"


def crlf_head(answer):
    """Every line of the answer's head ends with CR LF."""
    head = answer.split(b"\r\n\r\n", 1)[0]
    return b"\n" not in head.replace(b"\r\n", b"")


def web(user="", pwd="", log_level="info"):
    """Starts vkto with only the web tool (shell port 0); (process, port)."""
    port = e2e.free_port()
    ini = ("[debug]\nshell_server_port=0\nhttp_server_port=%d\nhttp_server_addr=127.0.0.1\n"
           "http_server_user=%s\nhttp_server_pwd=%s\n\n[log]\nlevel=%s\n" % (port, user, pwd, log_level))
    v = e2e.Vkto(ARGS.vkto, ini=ini, args=["-q"])
    v.start()
    if not e2e.wait_port(port):
        v.stop()
        raise AssertionError("web port %d never answered: %r" % (port, v.err[-1000:]))
    v.wait_prompt()
    return v, port


def raw(port, data, half_close=False, timeout=5.0):
    """Sends data on a fresh connection and reads until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        out = b""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                return out + b"<reset>"
            if not chunk:
                break
            out += chunk
        return out


JSON_TYPE = "application/json; charset=utf-8"


def get(port, target, headers=None, source=None):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10,
                                   source_address=(source, 0) if source else None)
    c.request("GET", target, headers=headers or {})
    r = c.getresponse()
    body = r.read()
    c.close()
    return r.status, r.reason, dict(r.getheaders()), body


def curl(*args):
    r = subprocess.run(["curl", "-s", "-S", "--max-time", "10"] + list(args), capture_output=True, timeout=20)
    return r.returncode, r.stdout


def case_urls_without_login(t):
    v, port = web()
    with v:
        st, reason, hdr, body = get(port, "/cmd?command=show%20info")
        t.eq((st, reason), (200, "Output Follows"), "cmd status")
        t.eq(hdr.get("Connection"), "close", "Connection header")
        for target in ("/", "/favicon.ico", "/metrics", "/cmd?command=help", "/config", "/log",
                       "/update?name=log.level&value=info", "/update?name=nothing&value=1"):
            _, _, h, b = get(port, target)
            t.eq(h.get("Content-Length"), str(len(b)), "length of %s" % target)
            t.eq((h.get("X-Content-Type-Options"), h.get("X-Frame-Options")), ("nosniff", "DENY"),
                 "never sniffed or framed: %s" % target)
            if target[1:4] in ("cmd", "con", "log", "upd"):
                t.eq(h.get("Content-Type"), JSON_TYPE, "JSON type of %s" % target)
        t.eq(get(port, "/favicon.ico")[2].get("Content-Type"), "image/png", "icon type")
        resp = json.loads(body)
        t.eq(len(resp), 1, "one element")
        t.contains(resp[0]["resp"], "ver=1.0.0.0", "show info through the web")
        t.check(resp[0]["resp"].endswith("\0"), "the closing flush is kept as \\u0000")

        rc, out = curl("http://127.0.0.1:%d/cmd?command=echo%%20x" % port)
        t.eq((rc, out), (0, b'[{"resp":"x\\n\\u0000"}]'), "curl cmd")
        rc, page = curl("http://127.0.0.1:%d/" % port)
        t.check(rc == 0 and b"<title>" in page and b"52718364" in page and b"$title" not in page, "page")
        rc, icon = curl("http://127.0.0.1:%d/favicon.ico" % port)
        t.check(icon[:8] == b"\x89PNG\r\n\x1a\n", "icon is a PNG")
        rc, metrics = curl("http://127.0.0.1:%d/metrics" % port)
        t.eq(metrics, b"#HELP xxxx \r\nTYPE xxx\r\ng_type=0", "metrics")

        cfg = json.loads(get(port, "/config")[3])
        t.check(any(i["name"] == "log.level" and i["value"] == "info" for i in cfg), "config lists log.level")
        t.eq(json.loads(get(port, "/update?token=52718364&name=log.level&value=warn")[3]),
             {"success": True, "msg": "ok"}, "update")
        t.check(any(i["name"] == "log.level" and i["value"] == "warn" for i in json.loads(get(port, "/config")[3])),
                "config shows the new value")
        t.contains(v.command("show dvar")[0], "warn", "the shell sees the new level")
        bad = json.loads(get(port, "/update?name=nothing&value=1")[3])
        t.eq(bad["success"], False, "update of an unknown variable fails")
        t.contains(bad["msg"], "nothing", "its message")

        get(port, "/log?token=52718364")
        get(port, "/cmd?command=call%20tlog")
        logs = json.loads(get(port, "/log?token=52718364")[3])
        t.check(any("log_warn" in i["log"] and i["level"] == "warning" for i in logs), "log view: %r" % logs[-3:])
        t.check(all(set(i) == {"log", "level"} for i in logs), "log entries have log and level")
        t.check(not any("log_warn" in i["log"] for i in json.loads(get(port, "/log")[3])), "each record once")

        st, _, _, body = get(port, "/nowhere")
        t.eq(st, 404, "unknown path")
        t.eq(body, b"<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\n"
                   b"<BODY><H1>The request URL was not found!</H1>\n</BODY></HTML>\n", "404 text")
        long_word = raw(port, b"X" * 3000 + b" / HTTP/1.1\r\n\r\n")
        t.check(long_word.startswith(b"HTTP/1.1 501 Not Implemented\r\n") and
                long_word.endswith(b"\r\n\r\n" + REFUSAL + b"X" * 16), "long method word is bounded: %r" % long_word)
        for target in (b"cmd", b"cmd?command=echo%20x", b"*"):
            t.eq(raw(port, b"GET %s HTTP/1.1\r\n\r\n" % target), BAD_REQUEST, "target %r without '/': 400" % target)
        long_target = b"GET /cmd?command=echo%20" + b"a" * 3000 + b" HTTP/1.0\r\n\r\n"
        body = raw(port, long_target).split(b"\r\n\r\n", 1)[-1]
        t.eq(json.loads(body), [{"resp": "", "error": "command too long"}], "over-long target")
        t.eq(json.loads(get(port, "/cmd?command=")[3]), [{"resp": "", "error": "command empty"}], "empty command")
        # The query is never rewritten by the path cleaning.
        t.eq(json.loads(get(port, "/cmd?command=echo%20a/../b//c")[3])[0]["resp"], "a/../b//c\n\0",
             "query kept as sent")


def case_methods_and_framing(t):
    """Methods not served get a whole answer; 401, 403 and 404 are framed
    so that clients read them (head lines end with CR LF, with a length)."""
    v, port = web(user="admin", pwd="pw")
    with v:
        for method in ("HEAD", "OPTIONS", "PUT", "DELETE"):
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            c.request(method, "/cmd?command=echo%20ran")
            r = c.getresponse()
            body = r.read()
            c.close()
            t.eq((r.status, r.getheader("Allow"), r.getheader("Connection")), (405, "GET, POST", "close"), method)
            t.eq(body, b"" if method == "HEAD" else REFUSAL + method.encode(), "%s body" % method)
            t.eq(r.getheader("Content-Length"), str(len(REFUSAL) + len(method)), "%s length" % method)
        out = raw(port, b"BREW /pot HTTP/1.1\r\n\r\n")
        t.check(out.startswith(b"HTTP/1.1 501 Not Implemented\r\n") and out.endswith(b"\r\n\r\n" + REFUSAL + b"BREW")
                and crlf_head(out), "unknown method: %r" % out)
        auth = {"Authorization": "Basic " + base64.b64encode(b"admin:pw").decode()}
        for target, headers, status in (("/metrics", {}, 401), ("/nowhere", auth, 404),
                                        ("/metrics", dict(auth, Host="evil.example"), 403)):
            st, _, hdr, body = get(port, target, headers)
            t.eq((st, hdr.get("Content-Length")), (status, str(len(body))), "%d framed" % status)
            head = b"".join(b"%s: %s\r\n" % (k.encode(), val.encode()) for k, val in headers.items())
            t.check(crlf_head(raw(port, b"GET %s HTTP/1.1\r\n%s\r\n" % (target.encode(), head))), "%d head" % status)
            if not shutil.which("wrk"):
                continue
            args = ["wrk", "-t1", "-c4", "-d1s"] + sum((["-H", "%s: %s" % kv] for kv in headers.items()), [])
            r = subprocess.run(args + ["http://127.0.0.1:%d%s" % (port, target)], capture_output=True, text=True,
                               timeout=30)
            t.check("requests in" in r.stdout and "Socket errors" not in r.stdout, "wrk reads %d: %s" % (status, r.stdout))


def case_host_forms_and_controls(t):
    """Host forms a browser never sends, bytes above 127 and control bytes
    in /update run nothing and change nothing."""
    v, port = web()
    with v:
        for head in (b"Host: evil.example\r\nHost: 127.0.0.1\r\n", b"Host : evil.example\r\n",
                     b"Host: 127.0.0.1\r\n evil.example\r\n", b"Host:\t127.0.0.1 evil.example\t\r\n"):
            for target in (b"/update?name=log.level&value=err", b"/cmd?command=set%20log.level%20err"):
                out = raw(port, b"GET %s HTTP/1.1\r\n%s\r\n" % (target, head))
                t.eq(out, BAD_REQUEST, "%r %r" % (target, head))
        # Tabs around a Host naming another site: the Host check sees it.
        t.eq(get(port, "/cmd?command=echo%20x", {"Host": "\tevil.example\t"})[0], 403, "Host in tabs")
        # Bytes above 127 in a value end no line: the lines after them are
        # read and another site's request is refused; in the request line,
        # a name or the Host the request is not served.
        host = b"Host: 127.0.0.1:%d\r\n" % port
        for accept in (b"x\xff\xffy", b"x\xc3\xa9y"):
            out = raw(port, b"GET /cmd?command=set%%20log.level%%20err HTTP/1.1\r\n%sAccept: %s\r\n"
                      b"Sec-Fetch-Site: cross-site\r\nOrigin: http://evil.example\r\n\r\n" % (host, accept))
            t.check(out.startswith(b"HTTP/1.1 403 "), "high bytes in Accept, other site refused: %r" % out[:40])
        out = raw(port, b"GET /cmd?command=echo%20y HTTP/1.1\r\n" + host + b"Accept: \xe9\r\n\r\n")
        t.contains(out.decode(errors="replace"), '"y\\n\\u0000"', "high byte in a value served")
        for head in (b"GET /cmd?command=set%20log.level%20err HTTP/1.1\r\nHost: 127.0.0.1\xffevil.example\r\n\r\n",
                     b"GET /cmd?command=set%20log.level%20err&x=\xe9 HTTP/1.1\r\n\r\n",
                     b"GET /cmd?command=set%20log.level%20err HTTP/1.1\r\nX-\xe9: 1\r\n\r\n"):
            t.eq(raw(port, head), BAD_REQUEST, "%r" % head)
        bad = json.loads(get(port, "/update?name=log.level%00x&value=err")[3])
        t.eq(bad["success"], False, "NUL in the name")
        t.eq(json.loads(get(port, "/update?name=log.level&value=err%00")[3])["success"], False, "NUL in the value")
        t.check(any(i["name"] == "log.level" and i["value"] == "info" for i in json.loads(get(port, "/config")[3])),
                "log.level unchanged")


def case_clients(t):
    v, port = web()
    with v:
        # A client that half-closes after its request still gets its answer.
        out = raw(port, b"GET /cmd?command=echo%20half HTTP/1.0\r\n\r\n", half_close=True)
        t.contains(out.decode(errors="replace"), '"half\\n\\u0000"', "half-closed client answered")
        # A request head without its blank line, then the end of the stream.
        out = raw(port, b"GET /cmd?command=echo%20nohead HTTP/1.0\r\n", half_close=True)
        t.contains(out.decode(errors="replace"), "nohead", "request ended by the stream")
        # POST with a body larger than the socket buffers: no reset.
        body = b"k=" + b"v" * 300000
        out = raw(port, b"POST /cmd?command=echo%%20posted HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n"
                  % len(body) + body)
        t.check(b"<reset>" not in out and b"posted" in out, "POST answered without a reset: %r" % out[-200:])
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        c.request("POST", "/cmd?command=echo%20pc", body=b"a=1&b=2",
                  headers={"Content-Type": "application/x-www-form-urlencoded"})
        r = c.getresponse()
        t.eq((r.status, r.read()), (200, b'[{"resp":"pc\\n\\u0000"}]'), "http.client POST")
        c.close()
        # A request that arrives in pieces is answered as soon as it is whole.
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            t0 = time.monotonic()
            s.sendall(b"GET /cmd?command=echo%20x HTTP/1.0\r\n")
            time.sleep(0.3)
            s.sendall(b"\r\n")
            s.settimeout(5)
            first = s.recv(100)
            took = time.monotonic() - t0
            t.check(first.startswith(b"HTTP/1.1 200") and took < 1.5, "pieces answered at once (%.2fs)" % took)


def case_login(t):
    v, port = web(user="admin", pwd="pw")
    with v:
        for target in ("/", "/cmd?command=echo%20x", "/log", "/config", "/update?name=a&value=b", "/metrics"):
            out = raw(port, b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % target.encode())
            t.check(HEAD_401.match(out) is not None, "exact 401 for %s: %r" % (target, out))
        rc, icon = curl("http://127.0.0.1:%d/favicon.ico" % port)
        t.check(icon[:4] == b"\x89PNG", "icon without credentials")
        rc, out = curl("-u", "admin:pw", "http://127.0.0.1:%d/cmd?command=echo%%20in" % port)
        t.eq(out, b'[{"resp":"in\\n\\u0000"}]', "curl with credentials")
        rc, out = curl("-u", "admin:px", "-o", "/dev/null", "-w", "%{http_code}",
                       "http://127.0.0.1:%d/cmd?command=echo%%20in" % port)
        t.eq(out, b"401", "wrong password")
        auth = "Basic " + base64.b64encode(b"admin:pw").decode()
        st, _, _, body = get(port, "/config", {"Authorization": auth})
        t.check(st == 200 and b"log.level" in body, "http.client with credentials")
        t.check(b"pw" not in v.err, "no password in the log")
        # Guessing: after 5 wrong passwords the address is locked out, the
        # right one included; another address is not.
        wrong = {"Authorization": "Basic " + base64.b64encode(b"admin:guess").decode()}
        right = {"Authorization": auth}
        t0 = time.monotonic()
        codes = [get(port, "/metrics", wrong)[0] for _ in range(5)]
        t.eq(codes, [401] * 5, "wrong passwords")
        t.eq(get(port, "/metrics", right)[0], 401, "locked out with the right password")
        t.eq(get(port, "/metrics", right, source="127.0.0.2")[0], 200, "another address logs in")
        t.check(time.monotonic() - t0 < 5, "the refusals are quick")
        # The log tells the failures, the lock-out and the locked-out
        # address apart.
        v.read_until(b"Please try again", timeout=5, stream="err")
        err = v.err.decode(errors="replace")
        t.contains(err, "ip=[127.0.0.1] wrong pwd [***]", "failure record")
        t.contains(err, "ip=[127.0.0.1] locked out for 60 minutes after 5 failures", "lock-out record")
        t.check(re.search(r"ip=\[127\.0\.0\.1\] error: Login failed 5 times, Please try again in (60\.00|5\d\.\d\d) minutes",
                          err) is not None, "locked-out record: %r" % err[-800:])
        t.check("guess" not in err, "no password in the log")
        # A user name cannot forge a record, nor put raw bytes into the log.
        forged = b"x] ip=[10.9.9.9] locked out for 60 minutes after 5 failures [\xe9\xff\xfe"
        name = {"Authorization": "Basic " + base64.b64encode(forged + b":pw").decode()}
        t.eq(get(port, "/metrics", name, source="127.0.0.3")[0], 401, "forged user name refused")
        shown = (rb"ip=[127.0.0.3] wrong user [x\x5d ip=\x5b10.9.9.9\x5d locked out for 60 minutes after 5 failures "
                 rb"\x5b\xe9\xff\xfe]")
        err = v.read_until(shown, timeout=5, stream="err")
        t.check(b"ip=[10.9.9.9]" not in err, "no forged address in the log")
        t.check(max(err) < 0x80, "no raw byte above 0x7f in the log")
    # A login too long to carry is told at the start.
    v, port = web(user="admin", pwd="p" * 95)
    with v:
        v.read_until(b"only the password's {SHA} form logs in", timeout=5, stream="err")


def case_no_markup(t):
    """No answer holds markup: a browser that opens a JSON answer runs no
    script from a command, an error text or a logged command line."""
    v, port = web(log_level="verb")
    with v:
        get(port, "/log")
        tag = "<script>alert(1)&</script>"
        _, _, h, body = get(port, "/cmd?command=echo%20" + urllib.parse.quote(tag))
        t.check(not re.search(rb"[<>&]", body), "cmd answer without markup: %r" % body)
        t.eq(json.loads(body), [{"resp": tag + "\n\0"}], "cmd answer reads the same")
        body = get(port, "/update?name=" + urllib.parse.quote(tag) + "&value=1")[3]
        t.check(not re.search(rb"[<>&]", body), "update answer without markup: %r" % body)
        t.contains(json.loads(body)["msg"], tag, "update message reads the same")
        body = get(port, "/log")[3]
        t.check(not re.search(rb"[<>&]", body), "log answer without markup: %r" % body[:300])
        t.check(any(tag in i["log"] for i in json.loads(body)), "the logged command line reads the same")
        # Each URL's records carry the name of its handler.
        get(port, "/metrics?m=1")
        err = v.read_until(b"http_callback_metrics(): [m=1]", stream="err", timeout=5)
        for record in (b"http_callback_cmd(): [command=echo%20%3Cscript", b"http_callback_cmd(): ucmd=[echo <script",
                       rb"http_callback_cmd(): ret=[\x5b{", b"http_callback_update(): name=%3Cscript"):
            t.contains(err, record, "record named after its handler")
        t.check(re.search(rb"http_callback_update\(\): name=\S+ conf_set failed: The set variable", err),
                "update's failure record")
        t.check(not re.search(rb"(guard|serve|answer_\w+)\(\): ", err), "no helper's name: %r" % err[-600:])


def case_client_bytes_on_stderr(t):
    """A level name a client sends with "set log.level" (TCP shell, /cmd) or
    /update, and an option a command refuses, are written on standard
    error with \\xNN escapes; the client's own answer shows them as sent."""
    sp, hp = e2e.free_port(), e2e.free_port()
    with e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(sp, hp), args=["-q"]) as v:
        v.start()
        t.check(e2e.wait_port(sp) and e2e.wait_port(hp), "both servers up")
        with e2e.ShellConn(sp) as c:
            c.send(b"set log.level \x1b[41mA\xff]\n")
            t.contains(c.replies(raw=True)[0], b"invalid param [\x1b[41mA\xff]]", "TCP answer as sent")
            c.send(b"alias -\x1b\n")
            c.replies()
        resp = json.loads(get(hp, "/cmd?command=set%20log.level%20%1B%5B42mB%FF%5D")[3])[0]["resp"]
        t.contains(resp, "invalid param [\x1b[42mB\xff]]", "/cmd answer as sent")
        msg = json.loads(get(hp, "/update?name=log.level&value=C%FF%5D")[3])["msg"]
        t.contains(msg, "invalid param [C\xff]]", "/update answer as sent")
        err = v.read_until(rb"error: invalid level [C\xff\x5d]", stream="err")
        for shown in (rb"error: invalid level [\x1b\x5b41mA\xff\x5d]", rb"alias: invalid option -- '\x1b'",
                      rb"error: invalid level [\x1b\x5b42mB\xff\x5d]"):
            t.contains(err, shown + b"\n", "escaped on stderr")
        t.check(not re.search(rb"\x1b\[4[12]m|\xff", err), "no raw byte on stderr: %r" % err[-600:])


def case_other_sites(t):
    """A browser request from another site, or to a Host that is not this
    machine (DNS rebinding), runs nothing and changes nothing."""
    v, port = web()
    with v:
        own = "http://127.0.0.1:%d" % port
        for headers in ({"Origin": "http://evil.example"}, {"Sec-Fetch-Site": "cross-site"},
                        {"Referer": "http://127.0.0.2:8000/"}, {"Host": "evil.example"},
                        {"Host": "evil.example", "Origin": "http://evil.example"}):
            for target in ("/update?name=log.level&value=dbg", "/cmd?command=call%20null",
                           "/cmd?command=set%20log.level%20dbg"):
                st = get(port, target, headers)[0]
                t.eq(st, 403, "%s with %r" % (target, headers))
        t.check(v.proc.poll() is None, "vkto still runs")
        t.check(any(i["name"] == "log.level" and i["value"] == "info" for i in json.loads(get(port, "/config")[3])),
                "log.level unchanged")
        # The console's own requests and clients that send none of these.
        t.eq(get(port, "/cmd?command=echo%20ok", {"Sec-Fetch-Site": "same-origin", "Referer": own + "/"})[0], 200,
             "same-origin request")
        rc, out = curl(own + "/cmd?command=echo%20curl")
        t.eq(out, b'[{"resp":"curl\\n\\u0000"}]', "curl")


def case_exit_through_web(t):
    v, port = web()
    with v:
        t.eq(json.loads(get(port, "/cmd?command=exit")[3]), [{"resp": "\0"}], "exit answered")
        t.eq(v.wait(5), 0, "exit through the web ends vkto with status 0")


def case_single_instance_http_only(t):
    v, port = web()
    with v:
        ini = ("[debug]\nshell_server_port=0\nhttp_server_port=%d\nhttp_server_addr=127.0.0.1\n" % port)
        rc, out, err = e2e.Vkto(ARGS.vkto, ini=ini, args=["-q"]).run(b"quit\n")
        t.eq(rc, 1, "second instance status")
        t.contains(err.decode(errors="replace"), "Can only run one instance", "second instance text")
        t.eq(json.loads(get(port, "/cmd?command=echo%20still")[3])[0]["resp"], "still\n\0", "first one serves on")


def main():
    if not shutil.which("curl"):
        return e2e.skip_status(0, ["curl is missing (Debian package curl)"])
    return e2e.Checks().run([case_urls_without_login, case_methods_and_framing, case_host_forms_and_controls, case_clients, case_login, case_no_markup,
                             case_client_bytes_on_stderr, case_other_sites,
                             case_exit_through_web, case_single_instance_http_only])


if __name__ == "__main__":
    sys.exit(main())

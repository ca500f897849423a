// Drives the web tool's console page in headless Chromium: the console's
// first screen, a command in the console view, a record in the log view, a
// variable changed in the configuration view; the console at the machine's
// name and an IPv4-mapped address, to which Chromium sends no Sec-Fetch-*;
// a page of another origin, sending no Referer, that tries commands and
// changes at each address; typed, redirected and another origin's
// navigations to commands, and with a login set to a wrong password, which
// must neither run nor lock the user out; and a command's answer opened as
// a page, which must run no script. A screenshot is kept in the work directory.
//   node console_test.js <vkto> <work directory>
"use strict";
const { spawn } = require("child_process");
const fs = require("fs");
const http = require("http");
const net = require("net");
const os = require("os");
const dns = require("dns");
const path = require("path");
const puppeteer = require("puppeteer-core");

const [vktoExe, workDir] = process.argv.slice(2);
const STEP_MS = 15000;

function freePort(host = "127.0.0.1") {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once("error", reject);
    s.listen(0, host, () => {
      const port = s.address().port;
      s.close(() => resolve(port));
    });
  });
}

function get(port, target, auth) {
  return new Promise((resolve, reject) => {
    const req = http.get({ host: "127.0.0.1", port, path: target, auth, timeout: 5000 }, (res) => {
      let body = "";
      res.on("data", (d) => (body += d));
      res.on("end", () => resolve(body));
    });
    req.on("timeout", () => req.destroy(new Error("timeout")));
    req.on("error", reject);
  });
}

async function waitPort(port) {
  for (let i = 0; i < 100; i++) {
    try {
      await get(port, "/favicon.ico");
      return;
    } catch (e) {
      await new Promise((r) => setTimeout(r, 100));
    }
  }
  throw new Error("vkto never answered on " + port);
}

function startVkto(port, addrs, more = "") {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "vkto_browser_"));
  fs.copyFileSync(vktoExe, path.join(dir, "vkto"));
  fs.chmodSync(path.join(dir, "vkto"), 0o755);
  fs.writeFileSync(path.join(dir, "vkto.ini"),
    "[debug]\nshell_server_port=0\nhttp_server_port=" + port + "\nhttp_server_addr=" + addrs + more +
    "\n\n[log]\nlevel=info\n");
  const proc = spawn(path.join(dir, "vkto"), ["-q"], { cwd: dir, stdio: ["pipe", "ignore", "ignore"] });
  return { proc, dir };
}

// A page of another origin (127.0.0.2) without a Referer that tries the
// tool's commands and changes with images, fetch (one with a non-ASCII
// Accept value) and a form, and at each of the tool's addresses (tools)
// sets a shell variable through an image, a frame and a no-cors fetch;
// its title becomes "tried" once every attempt has had its answer. It sends
// the browser on too: go(URL) answers 302 to URL, nav(URL) is a page whose
// script goes there. Served until close().
async function startOtherSite(tools) {
  const port = await freePort("127.0.0.2");
  const tool = tools[0];
  const tries = tools.flatMap((t, i) => ["img", "iframe", "fetch"].map((e) =>
    [e, t + "/cmd?command=hit_" + e + i + "%3D1"]));
  const page = `<!DOCTYPE html><html><head><meta name="referrer" content="no-referrer"></head><body>
<iframe name="sink" id="sink"></iframe>
<form id="f" action="${tool}/update" method="GET" target="sink">
<input name="name" value="log.level"><input name="value" value="verb"></form>
<script>
let pending = 6 + ${tries.length};
const done = () => { if (--pending === 0) document.title = "tried"; };
for (const [e, url] of ${JSON.stringify(tries)}) {
  if (e === "fetch") { fetch(url, { mode: "no-cors" }).then(done, done); continue; }
  const el = document.body.appendChild(document.createElement(e));
  el.onload = el.onerror = done;
  el.src = url;
}
for (const src of ["${tool}/cmd?command=call%20null", "${tool}/update?name=log.level&value=verb"]) {
  const img = new Image();
  img.onload = img.onerror = done;
  img.src = src;
}
fetch("${tool}/cmd?command=call%20null", { mode: "no-cors", credentials: "include" }).then(done, done);
fetch("${tool}/update?name=log.level&value=verb", { mode: "no-cors" }).then(done, done);
// Bytes above 127 in a header sent before the browser's own Sec-Fetch-* lines.
fetch("${tool}/cmd?command=set%20log.level%20dbg", { mode: "no-cors", headers: { "Accept": "x\\u00e9\\u00e9y" } })
  .then(done, done);
const sink = document.getElementById("sink");
sink.onload = () => {
  try { if (sink.contentWindow.location.href === "about:blank") return; } catch (e) {}
  done();
};
document.getElementById("f").submit();
</script></body></html>`;
  const server = http.createServer((req, res) => {
    const to = new URL(req.url, "http://h").searchParams.get("to");
    if (req.url.startsWith("/go")) return res.writeHead(302, { Location: to }).end();
    res.writeHead(200, { "Content-Type": "text/html" });
    res.end(req.url.startsWith("/nav") ? "<script>location.href = " + JSON.stringify(to).replace(/</g, "\\u003c") +
      "</script>" : page);
  });
  await new Promise((r) => server.listen(port, "127.0.0.2", r));
  // The browser may hold connections open (some never carry a request):
  // close them with the server instead of waiting for their time-outs.
  const close = () => new Promise((r) => { server.close(r); server.closeAllConnections(); });
  const url = "http://127.0.0.2:" + port + "/", via = (p) => (to) => url + p + "?to=" + encodeURIComponent(to);
  return { url, go: via("go"), nav: via("nav"), close };
}

function stopVkto(v) {
  v.proc.kill("SIGTERM");
  return new Promise((r) => {
    const t = setTimeout(() => { v.proc.kill("SIGKILL"); r(); }, 5000);
    v.proc.on("exit", () => { clearTimeout(t); r(); });
  }).then(() => fs.rmSync(v.dir, { recursive: true, force: true }));
}

async function logLevel(port) {
  const cfg = JSON.parse(await get(port, "/config?token=52718364"));
  const level = cfg.find((i) => i.name === "log.level");
  return level && level.value;
}

async function main() {
  const port = await freePort();
  // The machine's name when it resolves to a loopback address (listened on too).
  const own = await dns.promises.lookup(os.hostname(), { family: 4 }).catch(() => ({ address: "" }));
  const named = own.address.startsWith("127.");
  if (!named) console.log("skip: the machine's name " + os.hostname() + " does not resolve to a loopback address");
  const vkto = startVkto(port, named && own.address !== "127.0.0.1" ? "127.0.0.1," + own.address : "127.0.0.1");
  const tools = ["127.0.0.1", "[::ffff:127.0.0.1]"].concat(named ? [os.hostname()] : [])
    .map((h) => "http://" + h + ":" + port);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "vkto_chromium_"));
  let browser = null;
  let failed = null;
  let locked = null;
  try {
    await waitPort(port);
    browser = await puppeteer.launch({
      executablePath: "/usr/bin/chromium",
      headless: true,
      userDataDir: profile,
      args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync"],
      timeout: STEP_MS,
    });
    const page = await browser.newPage();
    page.setDefaultTimeout(STEP_MS);
    await page.setViewport({ width: 1200, height: 800 });
    await page.goto("http://127.0.0.1:" + port + "/", { waitUntil: "load" });

    // First screen: the prompt and a hint.
    const first = await page.$eval("#console-out", (e) => e.textContent);
    if (!first.includes("type help for the commands")) throw new Error("no hint on the first screen: " + first);
    console.log("ok: the console opens with the prompt and a hint");

    // Another origin's page tries a crash and a change: nothing happens.
    const other = await startOtherSite(tools);
    const attack = await browser.newPage();
    attack.setDefaultTimeout(STEP_MS);
    await attack.goto(other.url, { waitUntil: "load" });
    await attack.waitForFunction(() => document.title === "tried");
    await attack.close();
    // Navigations, each refused with a word on how the URL is used: a typed
    // command address and a link opened from outside that redirects to one
    // (Chromium sends Sec-Fetch-Site: none for both), another origin's page
    // that navigates to one, directly or through a redirect; with a login
    // set, more wrong passwords in another origin's links than it allows.
    const lport = await freePort();
    locked = startVkto(lport, "127.0.0.1", "\nhttp_server_user=admin\nhttp_server_pwd=pw");
    await waitPort(lport);
    const cmdAt = (n) => tools[0] + "/cmd?command=hit_nav" + n + "%3D1", guess = "http://x:y@127.0.0.1:" + lport + "/";
    for (const [url, at, word] of [cmdAt(0), other.go(cmdAt(1)), other.nav(cmdAt(2)), other.nav(other.go(cmdAt(3))),
      other.go(tools[0] + "/update?name=log.level&value=verb")].map((u) => [u, port, "console page"])
      .concat([0, 1, 2, 3, 4, 5].map((i) => [other.nav(i % 2 ? other.go(guess) : guess), lport, "login is set"]))) {
      const tab = await browser.newPage();  // url typed; the answer from at, through redirects and pages
      const answered = tab.waitForResponse((r) => new URL(r.url()).port === String(at), { timeout: STEP_MS });
      await tab.goto(url, { timeout: STEP_MS }).catch(() => {});  // a page that navigates on ends this wait early
      const res = await answered, text = await res.text().catch(() => "");
      await tab.close();
      if (res.status() !== 403 || !text.includes(word)) throw new Error(url + ": " + res.status() + " " + text);
    }
    await other.close();
    if (!(await get(lport, "/cmd?command=echo%20in", "admin:pw")).includes("in\\n")) throw new Error("locked out");
    if (vkto.proc.exitCode !== null || vkto.proc.signalCode !== null) throw new Error("vkto ended");
    const alive = await get(port, "/cmd?command=echo%20alive");
    if (!alive.includes("alive")) throw new Error("vkto does not answer: " + alive);
    if ((await logLevel(port)) !== "info") throw new Error("another site changed log.level");
    const env = await get(port, "/cmd?command=env");
    if (env.includes("hit_")) throw new Error("another site set " + env.match(/hit_\w+/g).join(" "));
    console.log("ok: another origin's page ran nothing and changed nothing at " + tools.join(", "));
    console.log("ok: typed, redirected and another origin's navigations ran nothing and locked no login out");

    for (const tool of tools.slice(1)) {  // addresses Chromium does not trust
      const at = await browser.newPage();
      await at.goto(tool + "/", { waitUntil: "load" });
      await at.type("#cmd", "echo at " + tool);
      await at.keyboard.press("Enter");
      await at.waitForFunction((t) => document.getElementById("console-out").lastElementChild.textContent === t,
        { timeout: STEP_MS }, "at " + tool);
      await at.close();
      console.log("ok: the console works at " + tool);
    }

    // A command's answer opened as a page runs no script.
    const shown = await browser.newPage();
    await shown.goto(tools[0] + "/", { waitUntil: "load" });  // from the tool's own page
    await Promise.all([shown.waitForNavigation({ waitUntil: "load" }), shown.evaluate(() => (location.href =
      "/cmd?command=echo%20%3Cscript%3Edocument.write(document.domain)%3C/script%3E"))]);
    const res = await shown.evaluate(() => [document.scripts.length, document.body.innerText]);
    await shown.close();
    if (res[0] !== 0 || !res[1].includes("document.write(document.domain)"))
      throw new Error("the answer was taken for markup: " + JSON.stringify(res));
    console.log("ok: an answer opened as a page runs no script");

    // Console: "show info" shows the version.
    await page.type("#cmd", "show info");
    await page.keyboard.press("Enter");
    await page.waitForFunction(() => document.getElementById("console-out").textContent.includes("ver=1.0.0.0"));
    console.log("ok: console shows ver=1.0.0.0");

    // Log: "call tlog" adds records that the view shows.
    await page.click("#tab-log");
    await new Promise((r) => setTimeout(r, 500));
    await get(port, "/cmd?command=call%20tlog");
    await page.waitForFunction(() => document.getElementById("log-out").textContent.includes("log_warn"));
    console.log("ok: log view shows the record of call tlog");

    // Configuration: log.level set to dbg in the table.
    await page.click("#tab-config");
    const sel = 'select.val[data-name="log.level"]';
    await page.waitForSelector(sel);
    await page.select(sel, "dbg");
    await page.waitForFunction(() => {
      const row = document.querySelector('tr[data-name="log.level"] td.state');
      return row && row.textContent === "ok";
    });
    const level = await logLevel(port);
    if (level !== "dbg") throw new Error("config reports " + level);
    console.log("ok: configuration view changed log.level to dbg");
    await page.click("#tab-console");
    await page.screenshot({ path: path.join(workDir, "browser-console.png") });
  } catch (e) {
    failed = e;
  } finally {
    if (browser) await browser.close().catch(() => {});
    await Promise.all([vkto, locked].filter((v) => v).map(stopVkto));
    fs.rmSync(profile, { recursive: true, force: true });
  }
  if (failed) {
    console.error("FAIL: " + (failed.stack || failed));
    process.exit(1);
  }
  console.log("browser test passed");
}

const guard = setTimeout(() => {
  console.error("FAIL: browser test did not end within 120 s");
  process.exit(1);
}, 120000);
guard.unref();
main();

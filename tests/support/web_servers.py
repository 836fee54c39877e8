"""The web servers a publisher may put in front of the launcher, each on loopback with the
configuration docs/serving.md gives for it, run in the foreground by the test that starts it.

The served configuration is the doc's own text, extracted from it: only the published values (host,
certificate paths, root, checksum, port) are replaced with the test's, and each server gets the
test's logging, pid and temporary paths around it. So a snippet that does not work as written
fails here.

Every server serves `payload` at /Download/Micro/QuorvelLauncher.exe over TLS with the given
certificate, adds the checksum header, and logs each request with its Range header where it can.
"""

import json
import os
import re
import socket
import subprocess
import tempfile
import time

LAUNCHER_PATH = "/Download/Micro/QuorvelLauncher.exe"
DOC = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                   "docs", "serving.md")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def documented(section):
    """The first indented block of the doc's section whose heading starts with `section`."""
    with open(DOC) as f:
        text = f.read()
    start = re.search(r"^### " + re.escape(section) + r".*$", text, re.M)
    if not start:
        raise LookupError("docs/serving.md has no section " + section)
    block = []
    for line in text[start.end():].splitlines()[1:]:
        if line.startswith("### ") or line.startswith("## "):
            break
        if line.startswith("    ") or (block and not line.strip()):
            block.append(line[4:])
        elif block:
            break
    return "\n".join(block).strip("\n") + "\n"


def published(text, values, listen=()):
    """The doc's text with its published values replaced by the test's: `listen` pairs first, then
    the paths, host and checksum every section shares."""
    for old, new in listen:
        if old not in text:
            raise LookupError("docs/serving.md no longer says " + old)
        text = text.replace(old, new)
    for old, new in (("/etc/ssl/downloads.example.com/fullchain.pem", values["cert"]),
                     ("/etc/ssl/downloads.example.com/privkey.pem", values["key"]),
                     ("/etc/haproxy/downloads.example.com.pem", values.get("pem", "")),
                     ("/srv/quorvel", values["root"]),
                     ("6424962004442965731", str(values["crc"])),
                     ("downloads.example.com", "localhost")):
        text = text.replace(old, new)
    return text


def nginx_config(values, listen=None, server_extra="", location_extra="", crc_header=True):
    """nginx with the doc's server block. `listen` replaces its listen line and drops its TLS
    lines (plain HTTP behind a proxy)."""
    server = published(documented("nginx"), values,
                       [("listen 443 ssl;", listen or "listen 127.0.0.1:%d ssl;" % values["port"])])
    lines = server.splitlines()
    if listen:
        lines = [l for l in lines if not l.strip().startswith("ssl_")]
    if not crc_header:
        lines = [l for l in lines if "x-oss-hash-crc64ecma" not in l]
    server = "\n".join(lines)
    server = server.replace("    root ", "    %s\n    root " % server_extra, 1)
    server = server.replace(" {\n        add_header", " {\n        %s\n        add_header" % location_extra, 1)
    server = server.replace(" {\n        gzip", " {\n        %s\n        gzip" % location_extra, 1)
    return NGINX_AROUND.format(server=server, **values)


NGINX_AROUND = """\
daemon off;
master_process off;
worker_processes 1;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
events {{ worker_connections 64; }}
http {{
    log_format quorvel '$request_method $uri $status $body_bytes_sent range="$http_range"';
    access_log {dir}/access.log quorvel;
    client_body_temp_path {dir}/tmp;
    proxy_temp_path {dir}/tmp;
    fastcgi_temp_path {dir}/tmp;
    uwsgi_temp_path {dir}/tmp;
    scgi_temp_path {dir}/tmp;
    default_type application/octet-stream;
    sendfile on;
{server}
}}
"""

APACHE_AROUND = """\
ServerRoot {dir}
DefaultRuntimeDir {dir}
PidFile {dir}/apache.pid
Mutex file:{dir} default
ErrorLog {dir}/error.log
LogLevel warn
LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so
LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so
LoadModule mime_module /usr/lib/apache2/modules/mod_mime.so
LoadModule headers_module /usr/lib/apache2/modules/mod_headers.so
LoadModule socache_shmcb_module /usr/lib/apache2/modules/mod_socache_shmcb.so
LoadModule ssl_module /usr/lib/apache2/modules/mod_ssl.so
User www-data
Group www-data
TypesConfig /etc/mime.types
LogFormat "%m %U %>s range=\\"%{{Range}}i\\"" quorvel
CustomLog {dir}/access.log quorvel
SSLSessionCache shmcb:{dir}/ssl_scache(512000)
Listen 127.0.0.1:{port}
"""

LIGHTTPD_AROUND = """\
server.modules += ("mod_accesslog")
server.bind = "127.0.0.1"
server.pid-file = "{dir}/lighttpd.pid"
server.errorlog = "{dir}/error.log"
accesslog.filename = "{dir}/access.log"
accesslog.format = "%m %U %>s range=\\"%{{Range}}i\\""
"""

CADDY_AROUND = """\
{{
    admin off
    auto_https off
    storage file_system {dir}/data
}}
"""
CADDY_SITE = """https://localhost:{port} {{
    bind 127.0.0.1
    log {{
        output file {dir}/access.log
    }}"""


class WebServer:
    """One server program in the foreground, in a directory of its own."""

    name = None

    def __init__(self, payload, cert, key, crc, port=None):
        self.dir = tempfile.mkdtemp(prefix="quorvel-%s-" % self.name)
        os.chmod(self.dir, 0o755)  # Apache's workers read the root as www-data
        self.port = port or free_port()
        self.cert, self.key, self.crc = cert, key, crc
        self.root = os.path.join(self.dir, "root")
        self.file = os.path.join(self.root, LAUNCHER_PATH.lstrip("/"))
        os.makedirs(os.path.dirname(self.file))
        for d in (self.root, os.path.join(self.root, "Download"), os.path.dirname(self.file)):
            os.chmod(d, 0o755)
        with open(self.file, "wb") as f:
            f.write(payload)
        os.chmod(self.file, 0o644)
        # Published a while ago: Apache marks the ETag of a file changed within the last second
        # weak, and so changes it a second later.
        past = time.time() - 60
        os.utime(self.file, (past, past))
        os.makedirs(os.path.join(self.dir, "tmp"))
        self.procs = []

    @property
    def url(self):
        return f"https://localhost:{self.port}{LAUNCHER_PATH}"

    def values(self, **extra):
        return dict(dir=self.dir, port=self.port, cert=self.cert, key=self.key, crc=self.crc,
                    root=self.root, path=LAUNCHER_PATH, **extra)

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def spawn(self, cmd, port, env=None):
        log = open(os.path.join(self.dir, "console.log"), "ab")
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                env=env, start_new_session=True)
        self.procs.append(proc)
        deadline = time.time() + 15
        while time.time() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                    return
            except OSError:
                if proc.poll() is not None:
                    break
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("%s did not start: %s" % (self.name, self.logs()))

    def start(self):
        raise NotImplementedError

    def stop(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait(10)
        self.procs = []

    def logs(self):
        text = ""
        for name in ("console.log", "error.log"):
            try:
                with open(os.path.join(self.dir, name), errors="replace") as f:
                    text += f.read()
            except FileNotFoundError:
                pass
        return text

    def ranges(self):
        """The Range header of every GET, in order ("" when there was none)."""
        try:
            with open(os.path.join(self.dir, "access.log")) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        return [line.split('range="', 1)[1][:-1] for line in lines
                if line.startswith("GET ") and 'range="' in line]

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class Nginx(WebServer):
    name = "nginx"

    def config(self):
        return nginx_config(self.values())

    def start(self):
        conf = self.write("nginx.conf", self.config())
        self.spawn(["nginx", "-p", self.dir, "-c", conf, "-e", os.path.join(self.dir, "error.log")],
                   self.port)
        return self


class Apache(WebServer):
    name = "apache"

    def start(self):
        site = published(documented("Apache"), self.values(),
                         [("<VirtualHost *:443>", "<VirtualHost 127.0.0.1:%d>" % self.port)])
        conf = self.write("apache2.conf", APACHE_AROUND.format(**self.values()) + site)
        self.spawn(["apache2", "-f", conf, "-DFOREGROUND"], self.port)
        return self


class Lighttpd(WebServer):
    name = "lighttpd"

    def start(self):
        site = published(documented("lighttpd"), self.values(),
                         [("server.port = 443", "server.port = %d" % self.port)])
        conf = self.write("lighttpd.conf", site + LIGHTTPD_AROUND.format(**self.values()))
        self.spawn(["lighttpd", "-D", "-f", conf], self.port)
        return self


class Caddy(WebServer):
    name = "caddy"

    def start(self):
        site = published(documented("Caddy"), self.values(),
                         [("https://downloads.example.com {",
                           CADDY_SITE.format(**self.values()))])
        conf = self.write("Caddyfile", CADDY_AROUND.format(**self.values()) + site)
        env = dict(os.environ, HOME=self.dir, XDG_DATA_HOME=os.path.join(self.dir, "data"),
                   XDG_CONFIG_HOME=os.path.join(self.dir, "config"))
        self.spawn(["caddy", "run", "--config", conf, "--adapter", "caddyfile"], self.port, env)
        return self

    def ranges(self):
        result = []
        try:
            with open(os.path.join(self.dir, "access.log")) as f:
                for line in f:
                    request = json.loads(line).get("request", {})
                    if request.get("method") == "GET":
                        result.append(request.get("headers", {}).get("Range", [""])[0])
        except FileNotFoundError:
            pass
        return result


class HaproxyNginx(WebServer):
    """HAProxy terminating TLS in front of nginx over plain HTTP; nginx logs the requests."""

    name = "haproxy"

    def start(self):
        backend_port = free_port()
        conf = self.write("nginx.conf", nginx_config(
            self.values(), listen="listen 127.0.0.1:%d;" % backend_port))
        self.spawn(["nginx", "-p", self.dir, "-c", conf, "-e", os.path.join(self.dir, "error.log")],
                   backend_port)
        pem = os.path.join(self.dir, "haproxy.pem")
        with open(pem, "w") as out:
            for part in (self.cert, self.key):
                with open(part) as f:
                    out.write(f.read())
        cfg = published(documented("HAProxy"), self.values(pem=pem),
                        [("bind :443", "bind 127.0.0.1:%d" % self.port),
                         ("127.0.0.1:8080", "127.0.0.1:%d" % backend_port)])
        self.spawn(["haproxy", "-db", "-f", self.write("haproxy.cfg", cfg)], self.port)
        return self


SERVERS = {cls.name: cls for cls in (Nginx, Apache, Lighttpd, Caddy, HaproxyNginx)}

"""The web servers a publisher may put in front of the launcher, each on loopback with the
configuration docs/serving.md gives for it, run in the foreground by the test that starts it.

Every server serves `payload` at /Download/Micro/QuorvelLauncher.exe over TLS with the given
certificate, adds the checksum header, and logs each request with its Range header where it can.
"""

import json
import os
import socket
import subprocess
import tempfile
import time

from nginx_server import LAUNCHER_PATH, free_port

# Served over TLS itself, or plain behind HAProxy (tls=False).
NGINX = """\
daemon off;
master_process off;
worker_processes 1;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
events {{ worker_connections 64; }}
http {{
    log_format quorvel '$request_method $uri $status range="$http_range"';
    access_log {dir}/access.log quorvel;
    client_body_temp_path {dir}/tmp;
    proxy_temp_path {dir}/tmp;
    fastcgi_temp_path {dir}/tmp;
    uwsgi_temp_path {dir}/tmp;
    scgi_temp_path {dir}/tmp;
    default_type application/octet-stream;
    server {{
        {listen}
        server_name localhost;
        root {root};
        location = {path} {{
            add_header x-oss-hash-crc64ecma {crc};
            gzip off;
        }}
    }}
}}
"""
NGINX_TLS_LISTEN = """listen 127.0.0.1:{port} ssl;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        ssl_protocols TLSv1.2 TLSv1.3;"""

APACHE = """\
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
<VirtualHost 127.0.0.1:{port}>
    ServerName localhost
    SSLEngine on
    SSLCertificateFile {cert}
    SSLCertificateKeyFile {key}
    SSLProtocol -all +TLSv1.2 +TLSv1.3
    DocumentRoot {root}
    <Directory {root}>
        Require all granted
    </Directory>
    <Location "{path}">
        FileETag MTime Size
        Header always set x-oss-hash-crc64ecma "{crc}"
    </Location>
</VirtualHost>
"""

LIGHTTPD = """\
server.modules += ("mod_openssl", "mod_setenv", "mod_accesslog")
server.bind = "127.0.0.1"
server.port = {port}
server.document-root = "{root}"
server.pid-file = "{dir}/lighttpd.pid"
server.errorlog = "{dir}/error.log"
accesslog.filename = "{dir}/access.log"
accesslog.format = "%m %U %>s range=\\"%{{Range}}i\\""
mimetype.assign = ("" => "application/octet-stream")
ssl.engine = "enable"
ssl.pemfile = "{cert}"
ssl.privkey = "{key}"
ssl.openssl.ssl-conf-cmd = ("MinProtocol" => "TLSv1.2",
    "CipherString" => "EECDH+AESGCM:CHACHA20:ECDHE+AES256+SHA384:ECDHE+AES128+SHA256")
static-file.etags = "enable"
etag.use-inode = "disable"
etag.use-mtime = "enable"
etag.use-size = "enable"
$HTTP["url"] == "{path}" {{
    setenv.add-response-header = ("x-oss-hash-crc64ecma" => "{crc}")
}}
"""

CADDY = """\
{{
    admin off
    auto_https off
    storage file_system {dir}/data
    servers {{
        protocols h1 h2
    }}
}}
https://localhost:{port} {{
    bind 127.0.0.1
    tls {cert} {key}
    root * {root}
    header {path} x-oss-hash-crc64ecma {crc}
    file_server
    log {{
        output file {dir}/access.log
    }}
}}
"""

HAPROXY = """\
global
    # HAProxy writes header names in lower case; the bootstrapper reads these two only as spelt.
    h1-case-adjust content-length Content-Length
    h1-case-adjust etag ETag
defaults
    mode http
    timeout connect 5s
    timeout client 60s
    timeout server 60s
frontend downloads
    bind 127.0.0.1:{port} ssl crt {pem} ssl-min-ver TLSv1.2
    option h1-case-adjust-bogus-client
    default_backend files
backend files
    server nginx 127.0.0.1:{backend_port}
"""


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

    def start(self):
        listen = NGINX_TLS_LISTEN.format(**self.values())
        conf = self.write("nginx.conf", NGINX.format(listen=listen, **self.values()))
        self.spawn(["nginx", "-p", self.dir, "-c", conf, "-e", os.path.join(self.dir, "error.log")],
                   self.port)
        return self


class Apache(WebServer):
    name = "apache"

    def start(self):
        conf = self.write("apache2.conf", APACHE.format(**self.values()))
        self.spawn(["apache2", "-f", conf, "-DFOREGROUND"], self.port)
        return self


class Lighttpd(WebServer):
    name = "lighttpd"

    def start(self):
        conf = self.write("lighttpd.conf", LIGHTTPD.format(**self.values()))
        self.spawn(["lighttpd", "-D", "-f", conf], self.port)
        return self


class Caddy(WebServer):
    name = "caddy"

    def start(self):
        conf = self.write("Caddyfile", CADDY.format(**self.values()))
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
        listen = "listen 127.0.0.1:%d;" % backend_port
        conf = self.write("nginx.conf", NGINX.format(listen=listen, **self.values()))
        self.spawn(["nginx", "-p", self.dir, "-c", conf, "-e", os.path.join(self.dir, "error.log")],
                   backend_port)
        pem = os.path.join(self.dir, "haproxy.pem")
        with open(pem, "w") as out:
            for part in (self.cert, self.key):
                with open(part) as f:
                    out.write(f.read())
        cfg = self.write("haproxy.cfg", HAPROXY.format(pem=pem, backend_port=backend_port,
                                                       **self.values()))
        self.spawn(["haproxy", "-db", "-f", cfg], self.port)
        return self


SERVERS = {cls.name: cls for cls in (Nginx, Apache, Lighttpd, Caddy, HaproxyNginx)}

"""The nginx configuration of the local servers (the update service and the transfer tests'
servers): nginx in the foreground on 127.0.0.1, with its pid file, logs, temporary folders and
document root (www/) all inside one state folder. A server may speak TLS (1.2 and 1.3 both: Wine's
TLS client fails against a server that offers 1.3 only) with a certificate and key given as files.
"""

import os


def server_block(state, port, locations="", tls=None):
    """The text of one server block on 127.0.0.1:PORT serving STATE/www, with `locations` (the
    text of its location blocks); with tls=(CERT_PEM, KEY) it speaks TLS 1.2 and 1.3 only."""
    listen = f"listen 127.0.0.1:{port}{' ssl' if tls else ''};"
    if tls:
        listen += (f"\n        ssl_certificate {tls[0]};"
                   f"\n        ssl_certificate_key {tls[1]};"
                   "\n        ssl_protocols TLSv1.2 TLSv1.3;")
    return f"""\
    server {{
        {listen}
        root {state}/www;
{locations}    }}
"""


def write_conf(state, port, locations="", *, master_process=True, error_log="error.log",
               worker_connections=512, access_log="access_log off;", http_extra="", tls=None,
               extra_servers=""):
    """Writes STATE/nginx.conf (atomically) and returns its path.

    `locations` is the text of the server's location blocks, `access_log` the http block's
    access-log lines and `http_extra` further directives of the http block, each line ending in
    a newline and indented by four blanks. With tls=(CERT_PEM, KEY) the server on `port` speaks
    TLS; `extra_servers` is the text of further server blocks (see server_block).
    """
    user = "user root root;" if os.geteuid() == 0 else ""
    text = f"""\
daemon off;
master_process {"on" if master_process else "off"};
worker_processes 1;
pid {state}/nginx.pid;
error_log {state}/{error_log} warn;
{user}
events {{ worker_connections {worker_connections}; }}
http {{
    {access_log}
    client_body_temp_path {state}/tmp/client;
    proxy_temp_path {state}/tmp/proxy;
    fastcgi_temp_path {state}/tmp/fastcgi;
    uwsgi_temp_path {state}/tmp/uwsgi;
    scgi_temp_path {state}/tmp/scgi;
    default_type application/octet-stream;
    sendfile on;
{http_extra}{server_block(state, port, locations, tls)}{extra_servers}}}
"""
    path = os.path.join(state, "nginx.conf")
    with open(path + ".part", "w") as out:
        out.write(text)
    os.replace(path + ".part", path)
    return path

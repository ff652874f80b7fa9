#!/usr/bin/env python3
"""An HTTP proxy that tunnels CONNECT for user "vorn", password "secret", and answers a request
without them with 407 and then closes the connection, as some proxies do, without saying so in
a header. Logs each request line as tinyproxy does ("Request (file descriptor N): LINE").

    closingproxy.py PORT LOGFILE
"""

import base64
import socket
import sys
import threading

PASSWORD = "Basic " + base64.b64encode(b"vorn:secret").decode()


def relay(source, target):
    try:
        while data := source.recv(65536):
            target.sendall(data)
    except OSError:
        pass
    finally:
        for end in (source, target):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def serve(client, log):
    head = b""
    while b"\r\n\r\n" not in head:
        data = client.recv(4096)
        if not data:
            client.close()
            return
        head += data
    lines = head.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
    with open(log, "a") as file:
        file.write(f"CONNECT Request (file descriptor {client.fileno()}): {lines[0]}\n")
    fields = dict(line.split(": ", 1) for line in lines[1:] if ": " in line)
    method, target, _ = lines[0].split(" ", 2)
    if method != "CONNECT" or fields.get("Proxy-Authorization") != PASSWORD:
        client.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                       b"Proxy-Authenticate: Basic realm=\"vorn\"\r\nContent-Length: 0\r\n\r\n")
        client.close()
        return
    host, port = target.rsplit(":", 1)
    try:
        upstream = socket.create_connection((host, int(port)))
    except OSError:
        client.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
        client.close()
        return
    client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
    threading.Thread(target=relay, args=(upstream, client), daemon=True).start()
    relay(client, upstream)


def main():
    port, log = int(sys.argv[1]), sys.argv[2]
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client, log), daemon=True).start()


if __name__ == "__main__":
    main()

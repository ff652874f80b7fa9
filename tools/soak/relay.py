"""A TCP relay between the updater and the package server that misbehaves on request.

    python3 relay.py LISTEN_ADDRESS TARGET_PORT MODE_FILE

Listens on LISTEN_ADDRESS port 80 and relays each connection to 127.0.0.1:TARGET_PORT. For
each new connection it reads MODE_FILE, one line of words:

    pass                     relays faithfully
    cut BYTES                closes the connection once BYTES have gone to the client
    stall BYTES MILLISECONDS after BYTES, sends nothing for that long, then closes
    trickle BYTES MILLISECONDS
                             sends the first BYTES one small piece at a time, a piece every
                             MILLISECONDS / 100, then relays faithfully

Runs until it is killed. Loopback only.
"""

import asyncio
import sys


def mode(path):
    try:
        with open(path) as file:
            words = file.read().split()
    except OSError:
        words = []
    return (words[0], [int(word) for word in words[1:]]) if words else ("pass", [])


async def towards_server(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def towards_client(reader, writer, kind, numbers):
    sent = 0
    try:
        while data := await reader.read(65536):
            if kind == "cut" and sent + len(data) >= numbers[0]:
                writer.write(data[: max(0, numbers[0] - sent)])
                await writer.drain()
                break
            if kind == "stall" and sent + len(data) >= numbers[0]:
                writer.write(data[: max(0, numbers[0] - sent)])
                await writer.drain()
                await asyncio.sleep(numbers[1] / 1000)
                break
            if kind == "trickle" and sent < numbers[0]:
                for start in range(0, len(data), 512):
                    writer.write(data[start : start + 512])
                    await writer.drain()
                    await asyncio.sleep(numbers[1] / 100000)
            else:
                writer.write(data)
                await writer.drain()
            sent += len(data)
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def main(address, port, mode_file):
    async def relay(client_reader, client_writer):
        kind, numbers = mode(mode_file)
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(
            towards_server(client_reader, server_writer),
            towards_client(server_reader, client_writer, kind, numbers),
        )

    server = await asyncio.start_server(relay, address, 80)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], int(sys.argv[2]), sys.argv[3]))

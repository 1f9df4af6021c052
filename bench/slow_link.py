#!/usr/bin/env python3
"""A TCP relay on loopback that behaves like a network link: every byte is
held for a one-way delay and each direction is limited to a rate, so the
screen stream can be measured as a phone on Wi-Fi would see it (the kernel's
netem is not available everywhere these benchmarks run).

    slow_link.py LISTEN_PORT TARGET_PORT DELAY_MS RATE_MBIT

Prints "ready" once listening. Loopback only, on both sides.
"""
import asyncio
import sys
import time


async def pipe(reader, writer, delay, rate_bytes):
    # Bytes leave the sender's end of the link one after another at the
    # link's rate, then travel for `delay`: a chunk is due when the link has
    # serialised it, plus the delay.
    queue = asyncio.Queue()
    link_free_at = 0.0

    async def deliver():
        while True:
            due, data = await queue.get()
            if data is None:
                break
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        writer.close()

    delivery = asyncio.create_task(deliver())
    try:
        while True:
            data = await reader.read(16384)
            if not data:
                break
            now = time.monotonic()
            link_free_at = max(link_free_at, now) + len(data) / rate_bytes
            await queue.put((link_free_at + delay, data))
            # Backpressure: the sender waits while the link is busy.
            if link_free_at - now > 0.05:
                await asyncio.sleep(link_free_at - now - 0.05)
    except ConnectionError:
        pass
    await queue.put((0.0, None))
    try:
        await delivery
    except ConnectionError:
        pass


async def main():
    listen_port, target_port = int(sys.argv[1]), int(sys.argv[2])
    delay = float(sys.argv[3]) / 1000.0
    rate_bytes = float(sys.argv[4]) * 1e6 / 8

    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pipe(client_reader, server_writer, delay, rate_bytes),
                             pipe(server_reader, client_writer, delay, rate_bytes))

    server = await asyncio.start_server(handle, "127.0.0.1", listen_port)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass

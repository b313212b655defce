// Memory the server holds per open connection, stage by stage: accepted,
// upgraded (hello written), linked (ready written), after one "status"
// request, and idle a while later. The clients run in a child process on
// plain blocking sockets, so that only the server's side is in the figures.
//
// Figures are deltas from just before the clients connect, divided by the
// number of connections: heap in use (mallinfo2: uordblks + hblkhd, every
// arena) and the resident set (/proc/self/statm). A warm-up round with a few
// connections goes first, so that what is allocated once (the first
// connection, the first JSON, ...) stays out of the measured round.
//
//   bench_connection_memory [connections]      (default 200)
//
// Needs libOBS started, so an X display (Xvfb).

#include <obs-module.h>
#include <obs.h>
#include <util/base.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/link_config.h"
#include "server/link_client.h"
#include "server/link_server.h"

namespace {
const char benchToken[] = "bench-token";

void dropLogLine(int, const char *, va_list, void *) {}

// ---- The child: blocking clients driven by one-byte commands. ----

struct Peer {
	int fd = -1;
	std::string input;
};

bool receiveMore(Peer &peer)
{
	char chunk[65536];
	const ssize_t got = recv(peer.fd, chunk, sizeof(chunk), 0);
	if (got <= 0)
		return false;
	peer.input.append(chunk, size_t(got));
	return true;
}

// One server frame's payload (servers never mask).
bool readFrame(Peer &peer, std::string &payload)
{
	for (;;) {
		const auto *bytes =
			reinterpret_cast<const uint8_t *>(peer.input.data());
		const size_t available = peer.input.size();
		if (available >= 2) {
			uint64_t length = bytes[1] & 0x7F;
			size_t header = 2;
			if (length == 126 && available >= 4) {
				length = uint64_t(bytes[2]) << 8 | bytes[3];
				header = 4;
			} else if (length == 127 && available >= 10) {
				length = 0;
				for (int i = 2; i < 10; i++)
					length = length << 8 | bytes[i];
				header = 10;
			}
			if (length < 126 || header > 2) {
				if (available >= header + length) {
					payload = peer.input.substr(header,
								    length);
					peer.input.erase(0, header + length);
					return true;
				}
			}
		}
		if (!receiveMore(peer))
			return false;
	}
}

// Reads frames until one holds `marker`.
bool readMessageWith(Peer &peer, const char *marker)
{
	std::string payload;
	while (readFrame(peer, payload))
		if (payload.find(marker) != std::string::npos)
			return true;
	return false;
}

// A masked text frame with the all-zero key.
std::string textFrame(const std::string &text)
{
	std::string frame(1, char(0x81));
	if (text.size() < 126) {
		frame += char(0x80 | text.size());
	} else {
		frame += char(0x80 | 126);
		frame += char(text.size() >> 8);
		frame += char(text.size() & 0xFF);
	}
	frame.append(4, '\0');
	return frame + text;
}

bool sendAll(const Peer &peer, const std::string &bytes)
{
	return send(peer.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
	       ssize_t(bytes.size());
}

bool connectPeers(std::vector<Peer> &peers, int count, uint16_t port)
{
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = htons(port);
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	for (int i = 0; i < count; i++) {
		Peer peer;
		peer.fd = socket(AF_INET, SOCK_STREAM, 0);
		const int on = 1;
		setsockopt(peer.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
		if (connect(peer.fd, reinterpret_cast<sockaddr *>(&address),
			    sizeof(address)) != 0)
			return false;
		peers.push_back(peer);
	}
	return true;
}

bool upgradePeers(std::vector<Peer> &peers)
{
	const std::string request =
		"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"
		"Upgrade: websocket\r\nConnection: Upgrade\r\n"
		"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
		"Sec-WebSocket-Version: 13\r\n\r\n";
	for (Peer &peer : peers)
		if (!sendAll(peer, request))
			return false;
	for (Peer &peer : peers) {
		size_t end;
		while ((end = peer.input.find("\r\n\r\n")) == std::string::npos)
			if (!receiveMore(peer))
				return false;
		if (peer.input.compare(0, 12, "HTTP/1.1 101") != 0)
			return false;
		peer.input.erase(0, end + 4);
		if (!readMessageWith(peer, "\"op\":\"hello\""))
			return false;
	}
	return true;
}

// Sends `text` on every connection, then reads until each has answered.
bool exchange(std::vector<Peer> &peers, const std::string &text,
	      const char *marker)
{
	const std::string frame = textFrame(text);
	for (Peer &peer : peers)
		if (!sendAll(peer, frame))
			return false;
	for (Peer &peer : peers)
		if (!readMessageWith(peer, marker))
			return false;
	return true;
}

[[noreturn]] void runClients(int commands, int acks)
{
	std::vector<Peer> peers;
	char command;
	while (read(commands, &command, 1) == 1) {
		bool ok = true;
		if (command == 'c') {
			int32_t args[2];
			ok = read(commands, args, sizeof(args)) ==
				     ssize_t(sizeof(args)) &&
			     connectPeers(peers, args[0], uint16_t(args[1]));
		} else if (command == 'u') {
			ok = upgradePeers(peers);
		} else if (command == 'a') {
			ok = exchange(
				peers,
				std::string("{\"op\":\"auth\",\"token\":\"") +
					benchToken +
					"\",\"app\":\"bench\","
					"\"version\":\"0\"}",
				"\"op\":\"ready\"");
		} else if (command == 's') {
			ok = exchange(peers,
				      "{\"op\":\"req\",\"id\":1,"
				      "\"cmd\":\"status\"}",
				      "\"op\":\"res\"");
		} else if (command == 'x') {
			for (Peer &peer : peers)
				close(peer.fd);
			peers.clear();
		} else {
			break;
		}
		const char ack = ok ? 'k' : 'e';
		if (write(acks, &ack, 1) != 1)
			break;
	}
	_exit(0);
}

// ---- The server side. ----

struct Sample {
	long long heap;
	long long resident;
};

Sample sample()
{
	const struct mallinfo2 info = mallinfo2();
	long long pages = 0;
	if (FILE *statm = fopen("/proc/self/statm", "r")) {
		long long size = 0;
		if (fscanf(statm, "%lld %lld", &size, &pages) != 2)
			pages = 0;
		fclose(statm);
	}
	return {static_cast<long long>(info.uordblks + info.hblkhd),
		pages * sysconf(_SC_PAGESIZE)};
}

// Runs the event loop for `ms`, deferred deletions included.
void settle(int ms)
{
	QElapsedTimer timer;
	timer.start();
	do {
		QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
		QCoreApplication::sendPostedEvents(nullptr,
						   QEvent::DeferredDelete);
		usleep(1000);
	} while (timer.elapsed() < ms);
}

class Clients {
public:
	Clients(int commands, int acks) : commands(commands), acks(acks) {}

	// Sends `command` and serves the connections until the child has
	// its answers.
	void run(char command, const void *args = nullptr, size_t size = 0)
	{
		std::string message(1, command);
		message.append(static_cast<const char *>(args), size);
		if (write(commands, message.data(), message.size()) !=
		    ssize_t(message.size()))
			fail("cannot reach the clients");
		pollfd ack{acks, POLLIN, 0};
		for (;;) {
			QCoreApplication::processEvents(QEventLoop::AllEvents,
							5);
			if (poll(&ack, 1, 1) > 0)
				break;
		}
		char answer = 0;
		if (read(acks, &answer, 1) != 1 || answer != 'k')
			fail("the clients failed");
	}

	[[noreturn]] static void fail(const char *what)
	{
		fprintf(stderr, "%s\n", what);
		exit(1);
	}

private:
	int commands;
	int acks;
};

long long bufferCapacity(const LinkServer &server)
{
	long long total = 0;
	for (const auto &client : server.clientList())
		total += client->buffer.capacity();
	return total;
}

void printRow(const char *stage, const Sample &base, const Sample &now,
	      const Sample &previous, int count, const LinkServer &server)
{
	printf("%-22s %10.0f %10.0f %10.0f %10.0f %12.0f\n", stage,
	       double(now.heap - base.heap) / count,
	       double(now.resident - base.resident) / count,
	       double(now.heap - previous.heap) / count,
	       double(now.resident - previous.resident) / count,
	       double(bufferCapacity(server)) / count);
}

void round(LinkServer &server, Clients &clients, int count, bool print)
{
	settle(50);
	const Sample base = sample();
	Sample previous = base;
	auto stage = [&](const char *name) {
		settle(50);
		const Sample now = sample();
		if (print)
			printRow(name, base, now, previous, count, server);
		previous = now;
	};

	const int32_t args[2] = {count, int32_t(server.serverPort())};
	clients.run('c', args, sizeof(args));
	QElapsedTimer timer;
	timer.start();
	while (int(server.clientList().size()) < count) {
		QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
		if (timer.elapsed() > 10000)
			Clients::fail("the connections were not accepted");
	}
	stage("accepted");
	clients.run('u');
	stage("upgraded (hello)");
	clients.run('a');
	if (server.linkedCount() != count)
		Clients::fail("not every connection linked");
	stage("linked (ready)");
	clients.run('s');
	stage("after one status");
	settle(1000);
	stage("idle 1 s later");
	clients.run('x');
	timer.restart();
	while (!server.clientList().empty() && timer.elapsed() < 10000)
		settle(10);
	stage("all closed");
}
}

int main(int argc, char **argv)
{
	const int count = argc > 1 ? atoi(argv[1]) : 200;
	if (count < 1)
		Clients::fail("usage: bench_connection_memory [connections]");

	int commandPipe[2];
	int ackPipe[2];
	if (pipe(commandPipe) != 0 || pipe(ackPipe) != 0)
		Clients::fail("pipe failed");
	const pid_t child = fork();
	if (child < 0)
		Clients::fail("fork failed");
	if (child == 0) {
		close(commandPipe[1]);
		close(ackPipe[0]);
		runClients(commandPipe[0], ackPipe[1]);
	}
	close(commandPipe[0]);
	close(ackPipe[1]);

	QCoreApplication app(argc, argv);
	base_set_log_handler(dropLogLine, nullptr);
	if (!obs_startup("en-US", nullptr, nullptr))
		Clients::fail("obs_startup failed (it needs an X display, "
			      "e.g. Xvfb)");
	linkConfig().token = benchToken;
	int status = 0;
	{
		LinkServer server;
		for (int port = 47100; !server.listen(port, false); port++)
			if (port > 47200)
				Clients::fail("no free port");
		Clients clients(commandPipe[1], ackPipe[0]);

		printf("Qt %s, %d connections; bytes per connection\n",
		       qVersion(), count);
		printf("%-22s %10s %10s %10s %10s %12s\n", "stage", "heap",
		       "resident", "heap +", "resident +", "buffer cap");
		round(server, clients, 5, false);
		round(server, clients, count, true);
		close(commandPipe[1]);
		waitpid(child, &status, 0);
	}
	obs_shutdown();
	return 0;
}

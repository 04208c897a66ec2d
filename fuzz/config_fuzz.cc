// config_fuzz.cc: the configuration reader on any file contents. Each input is read twice as
// the file, and the service table and prepend list must come out as a plain model of the file
// says, both times: logical lines joined at backslash-newline, a NUL ending the text, comments,
// prepend lines, names cut at the first blank, the first line without a command ending the load.
#include <sys/mman.h>
#include <sys/stat.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "kestord.h"

namespace {

struct Model {
	std::vector<std::pair<std::string, std::string>> services;  // in table order
	std::vector<std::string> prepends;
};

int fileFd = -1;
char filePath[64];

[[noreturn]] void
fail(const char *what, const std::string &detail)
{
	fprintf(stderr, "config_fuzz: %s: %s\n", what, detail.c_str());
	abort();
}

size_t
skipBlanks(const std::string &text, size_t at)
{
	while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
		at++;
	return at;
}

Model
model(const std::string &file)
{
	std::vector<std::string> physical;
	for (size_t at = 0; at < file.size();) {
		size_t nl = file.find('\n', at);
		size_t end = nl == std::string::npos ? file.size() : nl + 1;
		physical.push_back(file.substr(at, end - at));
		at = end;
	}

	Model m;
	for (size_t next = 0; next < physical.size();) {
		std::string line = physical[next++];
		bool cut = false;
		while (line.size() >= 2 && line.compare(line.size() - 2, 2, "\\\n") == 0) {
			if (next == physical.size()) {
				cut = true;
				break;
			}
			line.resize(line.size() - 2);
			line += physical[next++];
		}
		if (cut)
			break;
		if (!line.empty() && line.back() == '\n')
			line.pop_back();
		line.resize(strlen(line.c_str()));

		size_t p = skipBlanks(line, 0);
		if (p == line.size() || line[p] == '#')
			continue;
		if (line[p] == '%') {
			m.prepends.push_back(line.substr(skipBlanks(line, p + 1)));
			continue;
		}
		size_t blank = line.find_first_of(" \t", p);
		if (blank == std::string::npos)
			break;
		std::string name = line.substr(p, blank - p);
		std::string command = line.substr(skipBlanks(line, blank + 1));
		bool found = false;
		for (auto &service : m.services)
			if (service.first == name) {
				service.second = command;
				found = true;
			}
		if (!found)
			m.services.emplace_back(name, command);
	}
	return m;
}

void
compare(const Model &m, const char *when)
{
	if (services.len != m.services.size())
		fail(when, "table holds " + std::to_string(services.len) + " services, model " +
		    std::to_string(m.services.size()));
	for (size_t i = 0; i < services.len; i++) {
		const Service &s = services.elems[i];
		if (m.services[i].first != s.name)
			fail(when, "service " + std::to_string(i) + " is " + s.name + ", model " +
			    m.services[i].first);
		if (m.services[i].second != s.command)
			fail(when, std::string("command of ") + s.name + " is " + s.command +
			    ", model " + m.services[i].second);
		if (s.privileged != (s.name[0] == '@'))
			fail(when, std::string("privilege of ") + s.name);
		if (s.state != State::Stopped || s.intent != Intent::Stop)
			fail(when, std::string("a load started or changed ") + s.name);
	}
	if (prepends.len != m.prepends.size())
		fail(when, "list holds " + std::to_string(prepends.len) + " prepend commands, model " +
		    std::to_string(m.prepends.size()));
	for (size_t i = 0; i < prepends.len; i++)
		if (m.prepends[i] != prepends.elems[i])
			fail(when, std::string("prepend command ") + prepends.elems[i] + ", model " +
			    m.prepends[i]);
}

}  // namespace

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	// The file lives in memory; the reader opens it anew by its /proc name, as it would
	// open a path.
	fileFd = memfd_create("kestor.conf", MFD_CLOEXEC);
	if (fileFd == -1) {
		perror("memfd_create");
		abort();
	}
	// A memory file is made writable by everyone, and the reader refuses such a file.
	if (fchmod(fileFd, 0600) == -1) {
		perror("fchmod");
		abort();
	}
	snprintf(filePath, sizeof(filePath), "/proc/self/fd/%d", fileFd);
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (ftruncate(fileFd, 0) == -1 ||
	    pwrite(fileFd, data, size, 0) != static_cast<ssize_t>(size)) {
		perror(filePath);
		abort();
	}
	Model m = model(std::string(reinterpret_cast<const char *>(data), size));

	parseConfig(filePath, false);
	compare(m, "first load");
	// Reading the same file again changes nothing: a reload that stops at the same error
	// keeps the prepend list the first load made.
	parseConfig(filePath, true);
	compare(m, "reload");

	while (services.len > 0)
		serviceDrop(services.len - 1);
	return 0;
}

// The goals, reported met or missed from the run's figures (never asserted:
// a benchmark run on a busy machine says little, and CI only checks that
// every contender works).
#include <algorithm>
#include <cstdio>
#include <string>
#include <optional>

#include "sections.h"

namespace bench {

using namespace names;

namespace {

struct GoalLine {
  std::string figure;
  std::string goal;
  std::string measured;
  std::string verdict;
};

std::string Ratio(std::optional<double> r) { return r ? Format(*r, 2) : "-"; }

std::string Verdict(bool met) { return met ? "met" : "MISSED"; }

}  // namespace

void PrintGoals(const Options& o, const Results& results) {
  std::vector<GoalLine> lines;

  // Receive: at least 0.95 of raw, and not below any peer.
  if (const auto port = results.Ratio(kReceive, kPortNone, kRaw)) {
    std::string peers;
    double best = 0;
    for (const std::string& peer : {kSp, kQt, kAsio}) {
      if (const auto r = results.Ratio(kReceive, peer, kRaw)) {
        best = std::max(best, *r);
        peers += (peers.empty() ? "" : ", ") + peer + " " + Format(*r, 2);
      }
    }
    lines.push_back({"receive, OnRxChar + ReceiveBytes, default queue, smNone", ">= 0.95 x raw, not below any peer",
                     Format(*port, 2) + " (" + peers + ")", Verdict(*port >= 0.95 && *port >= best)});
  }
  for (const std::string& send : {kSendText, kSendAsync}) {
    if (const auto r = results.Ratio(kSend, send, kRaw)) {
      lines.push_back({"send, " + send.substr(5), ">= 0.95 x raw", Format(*r, 2), Verdict(*r >= 0.95)});
    }
  }
  if (const auto port = results.Ratio(kTripP50, kPortNone, kRaw)) {
    const auto sp = results.Ratio(kTripP50, kSp, kRaw);
    lines.push_back({"round trip p50, smNone", "<= 1.10 x raw, not above libserialport",
                     Format(*port, 2) + " (libserialport " + Ratio(sp) + ")",
                     Verdict(*port <= 1.10 && (!sp || *port <= *sp))});
  }
  // The simplest use: blocking calls on one thread, against libserialport's.
  if (const auto r = results.Ratio(kTripP50, kPortBlocking, kSpBlocking)) {
    lines.push_back({"round trip p50, blocking SendText + ReceiveBytes, no events",
                     "<= 1.05 x libserialport's blocking calls",
                     Format(*r, 2) + " (x raw: port " + Ratio(results.Ratio(kTripP50, kPortBlocking, kRaw)) +
                         ", libserialport " + Ratio(results.Ratio(kTripP50, kSpBlocking, kRaw)) + ")",
                     Verdict(*r <= 1.05)});
  }
  const auto calls = results.MedianOf(kTripSyscalls, kPortBlocking);
  const auto futex = results.MedianOf(kTripFutex, kPortBlocking);
  if (calls && futex) {
    const auto sp = results.MedianOf(kTripSyscalls, kSpBlocking);
    lines.push_back({"system calls per blocking round trip, port's process", "<= 7, no futex",
                     Format(*calls, 2) + ", futex " + Format(*futex, 2) + " (libserialport " +
                         (sp ? Format(*sp, 2) : "-") + ")",
                     Verdict(*calls <= 7.005 && *futex < 0.005)});
  }
  const std::pair<std::string, double> viaMain[] = {{kPortThread, 1.05}, {kPortWindow, 1.1}};
  for (const auto& [contender, bound] : viaMain) {
    if (const auto r = results.Ratio(kTripP50, contender, kHandoff)) {
      lines.push_back({"round trip p50, " + contender.substr(5), "<= " + Format(bound, 2) + " x one-hand-off floor",
                       Format(*r, 2) + " (floor " + Ratio(results.Ratio(kTripP50, kHandoff, kRaw)) + " x raw)",
                       Verdict(*r <= bound)});
    }
  }
  // Like for like: the port starts and stops its event thread, so the
  // reference is raw with a watcher thread; the bare figure is shown too.
  if (const auto r = results.Ratio(kOpenClose, kPort, kRawWatcher)) {
    lines.push_back({"open + close", ">= 0.8 x raw + a watcher thread",
                     Format(*r, 2) + " (bare raw " + Ratio(results.Ratio(kOpenClose, kPort, kRaw)) + ")",
                     Verdict(*r >= 0.8)});
  }
  if (const auto r = results.Ratio(kManyCpu, kPortNone, kRaw)) {
    lines.push_back({std::to_string(o.manyPorts) + " ports receiving, CPU per MiB, smNone",
                     "<= 1.2 x raw; no byte lost",
                     Format(*r, 2) + " (smThreadSync " + Ratio(results.Ratio(kManyCpu, kPortThread, kRaw)) +
                         "); every byte checked",
                     Verdict(*r <= 1.2)});
  }
  const auto portIdle = results.MedianOf(kIdleSwitches, kPort);
  const auto rawIdle = results.MedianOf(kIdleSwitches, kRaw);
  if (portIdle && rawIdle) {
    lines.push_back({"idle " + Format(o.idleMs / 1000.0, o.idleMs % 1000 ? 1 : 0) + " s, all ten events armed",
                     "as many wake-ups as raw (one)",
                     Format(*portIdle, 0) + " (raw " + Format(*rawIdle, 0) + ")", Verdict(*portIdle <= *rawIdle)});
  }
  if (lines.empty()) return;

  std::printf("goals (ratios: median of the per-repetition ratios, same run)\n");
  std::vector<std::size_t> width(4, 0);
  const GoalLine header{"figure", "goal", "measured", ""};
  for (const GoalLine* l : {&header}) {
    width[0] = l->figure.size();
    width[1] = l->goal.size();
    width[2] = l->measured.size();
  }
  for (const GoalLine& l : lines) {
    width[0] = std::max(width[0], l.figure.size());
    width[1] = std::max(width[1], l.goal.size());
    width[2] = std::max(width[2], l.measured.size());
  }
  auto print = [&](const GoalLine& l) {
    char text[1024];
    std::snprintf(text, sizeof text, "  %-*s  %-*s  %-*s  %s", static_cast<int>(width[0]), l.figure.c_str(),
                  static_cast<int>(width[1]), l.goal.c_str(), static_cast<int>(width[2]), l.measured.c_str(),
                  l.verdict.c_str());
    std::string line = text;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", line.c_str());
  };
  print(header);
  std::printf("  %s\n", std::string(width[0] + width[1] + width[2] + 12, '-').c_str());
  for (const GoalLine& l : lines) print(l);
}

}  // namespace bench

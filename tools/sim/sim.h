#pragma once

// cardgate-sim: stand-ins for the gateway's peers, for tests and for integrators trying a
// gateway without hardware. Each subcommand is one function taking its own arguments
// (argv[0] is the subcommand's name) and returning the process exit status. Every subcommand
// prints one line per event on standard output and answers --help.

int RunSamvSim(int argc, char** argv);       // SAMV decode servers (TCP)
int RunMcuSim(int argc, char** argv);        // module management controllers (UDP)
int RunDeviceSim(int argc, char** argv);     // a card reader terminal
int RunLogServerSim(int argc, char** argv);  // the log server (HTTP)

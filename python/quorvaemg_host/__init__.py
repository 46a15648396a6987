"""Stand-in for the platform around the quorvaemg module.

Nexus and its pipeline script are not available off the lab machines; this
package plays them: an in-memory trial, a scripting object offering the
operations the module uses, a demo trial generator and the host command.
"""

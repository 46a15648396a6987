"""The commands of ``quorvaemg-host``, one module each.

Each command module holds its options (``add_options``), the checks of its
command line (``check``) and its run (``run``); ``options`` has what several
share, ``trials`` the run over trial files, ``flags`` the older flag form of
the command line, and ``quorvaemg_host.cli`` the table of commands.
"""

# The `zuv` program.  Run as the main program (the `zuv` command) it runs one
# subcommand from the command line and ends the process with its exit status;
# imported under its own name it defines nothing.

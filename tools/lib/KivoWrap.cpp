// Command library.

"""The feed formats, one module each: reading a file into feed events, and its verification."""

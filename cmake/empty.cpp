// Placeholder for a folder library that has no sources yet.

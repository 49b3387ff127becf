// Placeholder: writers being written.

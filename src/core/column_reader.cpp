// Records straight into columns.

// Being written; tests land in the next commits.

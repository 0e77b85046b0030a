#!/usr/bin/env python3
# Lists functions whose body is longer than N lines (house rule: 80 outside tests), by counting
# braces after comments and string literals are blanked out. A heuristic, not a parser: a row is a
# place to look.   scripts/long-functions.py 80 src tools bench
import re, sys, os
N = int(sys.argv[1]); roots = sys.argv[2:]
def strip(src):
    out=[]; i=0; n=len(src)
    while i<n:
        c=src[i]
        if src.startswith('//',i):
            j=src.find('\n',i); j=n if j<0 else j; out.append(' '*(j-i)); i=j
        elif src.startswith('/*',i):
            j=src.find('*/',i+2); j=n if j<0 else j+2; out.append(re.sub(r'[^\n]',' ',src[i:j])); i=j
        elif c=='"' or c=="'":
            m = re.match(r'R"([^(]*)\(', src[i-1:i+20]) if i>0 and src[i-1]=='R' and c=='"' else None
            if m:
                end=')'+m.group(1)+'"'; j=src.find(end,i)+len(end)
            else:
                j=i+1
                while j<n and src[j]!=c:
                    j+= 2 if src[j]=='\\' else 1
                j+=1
            out.append(re.sub(r'[^\n]',' ',src[i:j])); i=j
        else: out.append(c); i+=1
    return ''.join(out)
for root in roots:
  for d,_,fs in os.walk(root):
    for f in fs:
      if not f.endswith(('.cpp','.h','.cc','.hpp')): continue
      p=os.path.join(d,f); s=strip(open(p,errors='replace').read())
      # find '{' preceded by ')' (possibly with const/noexcept/override/-> type/initializer lists)
      depth=0; stack=[]
      for m in re.finditer(r'[{}]', s):
        if m.group()=='{':
          head=s[max(0,m.start()-300):m.start()]
          isfn = re.search(r'\)\s*(const|noexcept|override|final|mutable|->\s*[\w:<>,\s*&]+|\s)*$', head) and not re.search(r'\b(if|for|while|switch|catch)\s*\([^;{}]*\)\s*$', head)
          stack.append((m.start(), isfn))
        else:
          if not stack: continue
          st,isfn=stack.pop()
          if isfn and not any(x[1] for x in stack):
            a=s.count('\n',0,st)+1; b=s.count('\n',0,m.start())+1
            if b-a+1>N:
              line=open(p,errors='replace').read().split('\n')[a-1].strip()
              print(f"{b-a+1:4d} {p}:{a} {line[:80]}")
